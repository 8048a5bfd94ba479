#pragma once

#include <QString>

namespace varn {

// The outcome of an operation that can fail for a reason the user must read.
// A successful outcome may still carry a notice (for example data that a load
// had to leave out); an empty message means there is nothing to tell.
struct Status {
    bool ok = true;
    QString message;

    static Status Ok(const QString& notice = {}) { return {true, notice}; }
    static Status Fail(const QString& reason) { return {false, reason}; }
    explicit operator bool() const { return ok; }
};

} // namespace varn
