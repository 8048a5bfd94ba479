#include "editorbench.h"

#include "bare.h"

#include "core/appstate.h"
#include "editor/frmbuffer.h"
#include "editor/hexview.h"
#include "files/imagefiles.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <ctime>
#include <memory>

namespace varn::bench {

namespace {

constexpr qint32 DeviceBytes = 65536;

void SelectDevice(AppState& state) {
    state.DeviceTable[1] = DeviceEntry{QStringLiteral("BENCH64K"), 1, DeviceBytes};
    state.DeviceCount = 1;
    state.SelectedDevice = 1;
    quint32 seed = 0x9E3779B9u;
    for (int i = 0; i < DeviceBytes; ++i) {
        seed = seed * 1664525u + 1013904223u;
        state.Buffer[i] = quint8(seed >> 24);
    }
}

// Everything the last change set in motion, the repaint included.
void Settle() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void MeasureWindow(AppState& state, int repetitions, EditorTimes& times) {
    ImageModel model(state);
    auto window = std::make_unique<frmBuffer>(model);
    window->show();
    window->activateWindow();
    for (int i = 0; i < 5; ++i)
        Settle();
    auto* text = window->findChild<QPlainTextEdit*>(QStringLiteral("txtBuffer"));
    if (!text) {
        times.error = QStringLiteral("the buffer window has no txtBuffer");
        return;
    }
    text->setFocus();
    Settle();

    // UpdateBuffer after the buffer changed, as after a fill.
    for (int i = 0; i < repetitions; ++i) {
        state.Buffer[i % 256] = quint8(state.Buffer[i % 256] + 1);
        const double t0 = MonotonicNs();
        window->UpdateBuffer();
        Settle();
        times.updateBuffer.push_back(MonotonicNs() - t0);
    }
    const QString expected = HexView(state).Text();
    if (window->View().Text() != expected) {
        times.error = QStringLiteral("UpdateBuffer did not show the buffer");
        return;
    }

    // A typed digit: key down, character, key up, and the redrawn window.
    const auto before = state.Buffer;
    for (int i = 0; i < repetitions; ++i) {
        const bool five = i % 2 == 0;
        const auto key = five ? Qt::Key_5 : Qt::Key_A;
        const QString character = five ? QStringLiteral("5") : QStringLiteral("a");
        const double t0 = MonotonicNs();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, character);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, character);
        QApplication::sendEvent(text, &press);
        QApplication::sendEvent(text, &release);
        Settle();
        times.typedDigit.push_back(MonotonicNs() - t0);
    }
    int changed = 0;
    for (int i = 0; i < DeviceBytes; ++i)
        changed += before[i] != state.Buffer[i];
    if (changed == 0)
        times.error = QStringLiteral("typed digits did not reach the buffer");
    window->close();
}

void MeasureViewOnly(AppState& state, int repetitions, EditorTimes& times) {
    HexView view(state);
    for (int i = 0; i < repetitions; ++i) {
        state.Buffer[i % 256] = quint8(state.Buffer[i % 256] + 1);
        const double t0 = MonotonicNs();
        view.UpdateBuffer();
        times.viewOnly.push_back(MonotonicNs() - t0);
    }
}

void MeasureFiles(AppState& state, int repetitions, EditorTimes& times) {
    QTemporaryDir dir;
    if (!dir.isValid()) {
        times.error = QStringLiteral("no temporary folder");
        return;
    }
    const QString path = dir.filePath(QStringLiteral("bench.hex"));
    const auto original = state.Buffer;
    for (int i = 0; i < repetitions; ++i) {
        const double t0 = MonotonicNs();
        const Status saved = SaveImageFile(state, path, {FileFormat::IntelHex});
        times.hexSave.push_back(MonotonicNs() - t0);
        if (!saved.ok) {
            times.error = QStringLiteral("saving Intel HEX: ") + saved.message;
            return;
        }
    }
    // 4,096 records of 16 bytes and the end record, 45 characters each with CR LF.
    const qint64 expectedSize = 4096 * 45 + 13;
    if (QFile(path).size() != expectedSize) {
        times.error = QStringLiteral("the HEX file has %1 bytes, not %2")
                          .arg(QFile(path).size())
                          .arg(expectedSize);
        return;
    }

    for (int i = 0; i < repetitions; ++i) {
        state.Buffer.fill(0x00);
        const double t0 = MonotonicNs();
        const Status loaded = LoadImageFile(path, {FileFormat::IntelHex}, state).status;
        times.hexLoad.push_back(MonotonicNs() - t0);
        if (!loaded.ok) {
            times.error = QStringLiteral("loading Intel HEX: ") + loaded.message;
            return;
        }
        if (!std::equal(original.begin(), original.begin() + DeviceBytes, state.Buffer.begin())) {
            times.error = QStringLiteral("the loaded HEX file differs from the saved buffer");
            return;
        }
    }
}

} // namespace

EditorTimes MeasureEditor(int repetitions, int fileRepetitions) {
    EditorTimes times;
    AppState state;
    SelectDevice(state);
    MeasureWindow(state, repetitions, times);
    if (times.error.isEmpty()) {
        SelectDevice(state);
        MeasureViewOnly(state, repetitions, times);
    }
    if (times.error.isEmpty()) {
        SelectDevice(state);
        MeasureFiles(state, fileRepetitions, times);
    }
    return times;
}

} // namespace varn::bench
