#pragma once

#include "core/differences.h"

#include <QWidget>
#include <vector>

class QLabel;
class QListWidget;

namespace varn {

// Lists the ranges of a difference report (device or file against the
// buffer). Choosing a range asks, through addressChosen, for its first
// address to be shown in the buffer window.
class frmDifferences : public QWidget {
    Q_OBJECT
public:
    // other names the side the buffer was compared with ("file", "device"):
    // the pairs list the buffer's byte first.
    frmDifferences(const QString& title, const DifferenceReport& report, const QString& other,
                   QWidget* parent = nullptr);

    // Ranges listed before the rest is only counted: a wholly wrong device
    // would otherwise fill the list with tens of thousands of lines.
    static constexpr int MaxListed = 1000;

    // The buffer changed since the comparison: the list says so, once.
    void MarkStale();
    bool IsStale() const { return stale; }
    // What was compared, for a memory map opened after the comparison.
    const DifferenceReport& Report() const { return report; }
    const QString& Other() const { return other; }

signals:
    void addressChosen(qint32 address);

private:
    DifferenceReport report;
    QString other;
    bool stale = false;
    QLabel* summary = nullptr;
    QListWidget* ranges = nullptr;
    std::vector<qint32> firstAddresses;
};

} // namespace varn
