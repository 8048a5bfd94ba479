#pragma once

#include "core/appstate.h"
#include "production/serialnumber.h"

#include <QDialog>
#include <QList>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTableWidget;

namespace varn {

struct LogGlance;

// Options > Production Log...: whether runs are recorded, where the log
// lives, what the station writes into each record (station, operator, lot,
// work order, product), the serial series a run takes its numbers from (and
// creating one), a connection test and the last records. Everything is kept
// in varn.ini (never a password: PostgreSQL's own ~/.pgpass or PGPASSWORD
// supply it).
class frmProductionLog : public QDialog {
    Q_OBJECT
public:
    frmProductionLog(AppState& state, QWidget* parent = nullptr);

public slots:
    void testClicked();
    void createSeriesClicked();
    void okClicked();

private:
    // Reads the log's series and last records again (when it opens), off
    // the window thread.
    void refresh();
    // What was read: the last records, and the series (choose, when given,
    // chosen among them).
    void showLog(const LogGlance& glance, const QString& choose = {});
    QString location() const;
    // Keeps the choices in varn.ini and closes the window.
    void save(const QString& text, const SerialSettings& serial);

    AppState& state;
    QCheckBox* logEnabled = nullptr;
    QLineEdit* fileOrUrl = nullptr;
    QLabel* testResult = nullptr;
    QLineEdit* station = nullptr;
    QLineEdit* operatorName = nullptr;
    QLineEdit* lot = nullptr;
    QLineEdit* workOrder = nullptr;
    QLineEdit* product = nullptr;
    QCheckBox* serialEnabled = nullptr;
    QComboBox* seriesChoice = nullptr;
    QLineEdit* serialAddress = nullptr;
    QLineEdit* seriesName = nullptr;
    QSpinBox* seriesLength = nullptr;
    QComboBox* byteOrder = nullptr;
    QComboBox* encoding = nullptr;
    QLineEdit* first = nullptr;
    QLineEdit* step = nullptr;
    QLineEdit* maximum = nullptr;
    QLabel* seriesResult = nullptr;
    QTableWidget* recordTable = nullptr;
    QList<SerialSettings> series; // the log's, as seriesChoice lists them
    quint64 reads = 0;            // reads asked for; only the last one's shows
    QDialogButtonBox* buttons = nullptr;
};

} // namespace varn
