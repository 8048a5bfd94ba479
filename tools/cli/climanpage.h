#pragma once

#include <QString>

namespace varn {

// varn-cli's manual page in roff: the hand-written page with its comment
// lines '.\" generated: operations', '... options' and '... exit status'
// replaced by the rows --help prints (clioptions.cpp, exitstatus.h), so the
// two never disagree.
QString CliManPage(const QString& pageTemplate);

} // namespace varn
