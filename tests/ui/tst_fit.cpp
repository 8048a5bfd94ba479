#include "core/config.h"
#include "editor/imagemodel.h"
#include "session/unitgroup.h"
#include "ui/frmoperator.h"
#include "ui/mdimain.h"

#include "support/messagelog.h"
#include "support/modalanswer.h"
#include "support/rows.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QAction>
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

using namespace varn;
using namespace varn::test;

namespace {

// Where a window stands, to compare with the room it has.
struct Placed {
    QRect frame, area;
};

bool InScrollArea(const QWidget* widget, const QWidget* window) {
    for (const QWidget* p = widget->parentWidget(); p && p != window; p = p->parentWidget())
        if (qobject_cast<const QAbstractScrollArea*>(p))
            return true;
    return false;
}

QString Text(const QRect& r) {
    return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// What of a shown window lies outside its room: its frame, or a widget that
// must be seen whole there (every button outside a scroll area, which can
// be scrolled to, and the named widgets).
QStringList Misfits(QWidget* window, const Placed& placed, const QStringList& named) {
    QStringList off;
    if (!placed.area.contains(placed.frame))
        off << QStringLiteral("frame %1 in %2").arg(Text(placed.frame), Text(placed.area));
    QList<QWidget*> whole;
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>())
        if (button->isVisibleTo(window) && !InScrollArea(button, window))
            whole << button;
    for (const QString& name : named)
        if (QWidget* widget = window->findChild<QWidget*>(name))
            whole << widget;
        else
            off << name + QStringLiteral(" missing");
    for (QWidget* widget : whole) {
        const QRect global(widget->mapToGlobal(QPoint(0, 0)), widget->size());
        if (!placed.area.contains(global) ||
            widget->visibleRegion().boundingRect() != widget->rect())
            off << QStringLiteral("%1 \"%2\" at %3")
                       .arg(widget->metaObject()->className(), widget->objectName(), Text(global));
    }
    return off;
}

Placed OnScreen(QWidget* window) {
    return {window->frameGeometry(), window->screen()->availableGeometry()};
}

Placed InMdiArea(mdiMain& w, QWidget* sub) {
    const QWidget* viewport = w.MdiArea()->viewport();
    return {QRect(viewport->mapToGlobal(sub->pos()), sub->size()),
            QRect(viewport->mapToGlobal(QPoint(0, 0)), viewport->size())};
}

} // namespace

// Every window of the program on a 1280x800 screen at scale 2 (640x400
// logical pixels, main()): it stands on the screen, or inside the main
// window's area, with its buttons in sight.
class tst_fit : public QObject {
    Q_OBJECT

    std::unique_ptr<MessageLog> messages;
    std::optional<QTemporaryDir> dir;
    AppState state;

private slots:
    void init() {
        messages = std::make_unique<MessageLog>();
        dir.emplace();
        state = AppState();
        WriteFile(dir->path() + "/varn.cfg", "1\r\n2\r\n2\r\n");
        WriteFile(dir->path() + "/varn.dev", "\"FLASH 8K\",1,8192\r\n\"EPROM 64K\",2,65536\r\n");
        WriteFile(dir->path() + "/auto.cfg", "0\r\n");
        WriteFile(dir->path() + "/image.bin", QByteArray(4096, '\x5A'));
        QVERIFY(Main(state, dir->path()));
    }
    void cleanup() { messages.reset(); }

    void screenIsSmall() {
        QCOMPARE(QGuiApplication::primaryScreen()->availableGeometry(), QRect(0, 0, 640, 400));
        QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
    }

    // action: a menu item of the main window; window: the dialog it shows
    // (modal) or the subwindow it opens; whole: more widgets that must be
    // in sight.
    void fits_data() {
        Columns<QString, QString, QStringList>("action", "window", "whole");
        const struct {
            const char *row, *action, *window, *whole;
        } rows[] = {
            {"Settings", "OptionsSettings", "frmSettings", ""},
            {"Select Device", "DeviceSelect", "frmSelectDevice", ""},
            {"Edit Auto", "OptionsEditAuto", "frmEditAuto", ""},
            {"Production Log", "OptionsProductionLog", "frmProductionLog", ""},
            {"Production Report", "ViewProductionReport", "frmReport", ""},
            {"About", "HelpAbout", "frmAbout", ""},
            {"Buffer Fill", "BufferFill", "frmBufferFill", ""},
            {"Function", "DeviceFunction", "frmFunction", ""},
            {"Production", "DeviceProduction", "frmProduction", ""},
            {"Load dialog", "FileLoad", "fileDialog", ""},
            {"Save dialog", "FileSaveAs", "fileDialog", ""},
            {"Load options", "FileLoad", "frmFileLoad", ""},
            {"Operator shift", "", "frmShift", ""},
            {"Operator", "", "frmOperator", ""},
            {"Main window", "", "mdiMain", ""},
            {"Buffer", "BufferEdit", "frmBufferSubWindow", "vsc lblAddress lblCheckSum crc32"},
            {"Memory Map", "ViewMemoryMap", "frmMemoryMapSubWindow", ""},
            {"Differences", "FileCompare", "frmDifferencesSubWindow", "ranges"},
        };
        for (const auto& r : rows)
            QTest::newRow(r.row) << QString(r.action) << QString(r.window)
                                 << QString(r.whole).split(' ', Qt::SkipEmptyParts);
    }
    void fits() {
        QFETCH(QString, action);
        QFETCH(QString, window);
        QFETCH(QStringList, whole);
        mdiMain w(state);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTRY_VERIFY(!messages->isEmpty()); // no unit answered
        // The file dialogs themselves, unless they are the row.
        if (window != QLatin1String("fileDialog"))
            w.cdia.showOpen = [&](QWidget*) { return dir->path() + "/image.bin"; };
        QStringList misfits;
        bool seen = false;
        const auto check = [&](QWidget* shown) {
            seen = true;
            misfits = Misfits(shown, OnScreen(shown), whole);
        };
        if (window == QLatin1String("mdiMain")) {
            check(&w);
        } else if (window == QLatin1String("frmOperator")) {
            UnitGroup units(state, {"COM1", "COM2", "COM3", "COM4"});
            frmOperator board(units, state, "Job", LineFields{});
            board.show();
            QVERIFY(QTest::qWaitForWindowExposed(&board));
            check(&board);
        } else if (window.endsWith(QLatin1String("SubWindow"))) {
            // The options of Compare with File are taken as they come.
            ModalAnswer options("frmFileLoad", [](QWidget* d) {
                d->findChild<QAbstractButton*>("cmdOk")->click();
            });
            w.Action(action)->trigger();
            auto* sub = w.findChild<QMdiSubWindow*>(window);
            QVERIFY(sub && QTest::qWaitForWindowExposed(sub));
            seen = true;
            misfits = Misfits(sub, InMdiArea(w, sub), whole);
        } else {
            ModalAnswer answer(window, [&](QWidget* d) {
                check(d);
                // A window busy with the unit closes once it is done.
                (void)QTest::qWaitFor([d] {
                    static_cast<QDialog*>(d)->reject();
                    return !d->isVisible();
                });
            });
            if (action.isEmpty())
                AskShift(&w, LineFields{});
            else
                w.Action(action)->trigger();
            QVERIFY2(answer.unexpected.isEmpty() || seen, qPrintable(answer.unexpected.join(' ')));
        }
        QVERIFY(seen);
        QVERIFY2(misfits.isEmpty(), qPrintable(misfits.join(QStringLiteral("; "))));
        w.close();
    }
};

int main(int argc, char** argv) {
    // A screen of 1280x800 device pixels at scale 2, as the offscreen
    // platform offers one.
    qputenv("QT_QPA_PLATFORM",
            "offscreen:configfile=" VARN_SOURCE_DIR "/tests/data/screen-1280x800.json");
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    tst_fit test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fit.moc"
