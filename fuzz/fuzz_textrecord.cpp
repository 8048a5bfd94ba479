// The text record reader and the three configuration files built on it.
// Input: one byte whose bits choose text (0) or number (1) reads, then the
// text. The same text, cut at 0x01 bytes, also becomes varn.cfg, varn.dev and
// auto.cfg for a start-up read.
#include "fuzzsupport.h"

#include "core/config.h"
#include "core/textrecord.h"

#include <cstdint>
#include <memory>

using namespace varn;

namespace {

void ReadItems(quint8 program, const QByteArray& text) {
    TextRecordReader reader(text);
    const int lastLine = int(text.count('\n') + text.count('\r')) + 1;
    int previousLine = 1;
    qsizetype reads = 0;
    for (int step = 0;; ++step) {
        const bool expectEnd = reader.atEnd();
        bool ok = false;
        if (program >> (step % 8) & 1) {
            qint64 value = 0x5A5A5A5A5A5A5A5ALL;
            ok = reader.readInteger(value);
            if (ok) {
                // A number read back from what the writer makes of it.
                TextRecordWriter writer;
                writer.writeInteger(value);
                TextRecordReader again(writer.data());
                qint64 back = 0;
                VARN_FUZZ_CHECK(again.readInteger(back) && back == value && again.atEnd());
            } else {
                VARN_FUZZ_CHECK(value == 0x5A5A5A5A5A5A5A5ALL);
            }
        } else {
            QString value = QStringLiteral("unchanged");
            ok = reader.readText(value);
            if (!ok)
                VARN_FUZZ_CHECK(value == QStringLiteral("unchanged"));
        }
        VARN_FUZZ_CHECK(reader.line() >= previousLine && reader.line() <= lastLine);
        previousLine = reader.line();
        if (expectEnd) {
            VARN_FUZZ_CHECK(!ok && reader.fault() == TextRecordReader::Fault::EndOfData);
            break;
        }
        VARN_FUZZ_CHECK(reader.fault() != TextRecordReader::Fault::EndOfData);
        if (ok) {
            VARN_FUZZ_CHECK(reader.fault() == TextRecordReader::Fault::None);
            // Every item takes at least its separator or one character.
            VARN_FUZZ_CHECK(++reads <= text.size() + 1);
        } else {
            VARN_FUZZ_CHECK(!reader.faultMessage(QStringLiteral("item")).isEmpty());
            // A fault is where a configuration read stops.
            break;
        }
    }
}

void ReadConfiguration(const QByteArray& text) {
    const QList<QByteArray> parts = text.split('\x01');
    fuzz::WriteScratch(QLatin1String(SettingsFileName), parts.value(0));
    fuzz::WriteScratch(QLatin1String(DeviceFileName), parts.value(1));
    fuzz::WriteScratch(QLatin1String(AutoFileName), parts.value(2));

    auto state = std::make_unique<AppState>();
    const Status status = Main(*state, fuzz::ScratchDir());
    if (!status) {
        const QString& m = status.message;
        VARN_FUZZ_CHECK(m.startsWith(QLatin1String(SettingsFileName)) ||
                        m.startsWith(QLatin1String(DeviceFileName)) ||
                        m.startsWith(QLatin1String(AutoFileName)));
        return;
    }
    VARN_FUZZ_CHECK(state->DeviceCount >= 0 && state->DeviceCount <= MaxDeviceCount);
    VARN_FUZZ_CHECK(state->SelectedDevice >= 0 && state->SelectedDevice <= MaxDeviceCount);
    VARN_FUZZ_CHECK(state->AutoCount >= 0 && state->AutoCount <= MaxAutoCount);
    for (const DeviceEntry& entry : state->DeviceTable) {
        VARN_FUZZ_CHECK(entry.Size >= 0 && entry.Size <= MaxDeviceSize);
        VARN_FUZZ_CHECK(entry.Code >= 0 && entry.Code <= MaxDeviceCode);
    }
    VARN_FUZZ_CHECK(state->DeviceSize() >= 0 && state->DeviceSize() <= MaxDeviceSize);

    // What was read is written back and read again unchanged.
    VARN_FUZZ_CHECK(SaveSettings(*state).ok);
    VARN_FUZZ_CHECK(SaveAutoList(*state).ok);
    auto again = std::make_unique<AppState>();
    VARN_FUZZ_CHECK(Main(*again, fuzz::ScratchDir()).ok);
    VARN_FUZZ_CHECK(again->PortNumber == state->PortNumber);
    VARN_FUZZ_CHECK(again->DeviceCount == state->DeviceCount);
    VARN_FUZZ_CHECK(again->SelectedDevice == state->SelectedDevice);
    VARN_FUZZ_CHECK(again->AutoCount == state->AutoCount);
    VARN_FUZZ_CHECK(again->AutoList == state->AutoList);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const QByteArray text(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    ReadItems(data[0], text);
    ReadConfiguration(text);
    return 0;
}
