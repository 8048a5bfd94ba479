#include "chippreviewfeed.h"

#include "core/appstate.h"
#include "editor/frmbuffer.h"
#include "editor/frmmemorymap.h"
#include "session/desktopsettings.h"
#include "ui/offthread.h"
#include "ui/windowplacement.h"

#include <QDateTime>
#include <memory>
#include <utility>
#include <vector>

namespace varn {

ChipPreviewFeed::ChipPreviewFeed(const AppState& appState, const WindowPlacement& placement,
                                 std::function<std::optional<SessionSettings>()> settingsOfJob,
                                 QObject* parent)
    : QObject(parent), state(appState), windows(placement), jobSettings(std::move(settingsOfJob)) {}

void ChipPreviewFeed::show(bool readLog) {
    if (readLog || !source) {
        // Nothing shows the fields: they are read when a window opens.
        if (!windows.bufferWindow() && !windows.memoryMapWindow()) {
            source.reset();
            return;
        }
        // The numbers the last chip took stay off the screen until the
        // next ones arrive.
        read();
        return;
    }
    render(false);
}

void ChipPreviewFeed::read() {
    // With a job opened, Production runs the job's fields, not varn.ini's.
    const std::optional<SessionSettings> job = jobSettings ? jobSettings() : std::nullopt;
    const auto setup = std::make_shared<const AppState>(state);
    const quint64 ticket = ++reads;
    using Read = std::pair<ChipPreviewSource, QString>;
    OffWindowThread<Read>(
        this,
        [job, setup] {
            QString readNote;
            ChipPreviewSource read = job ? SessionChipPreviewSource(*job, &readNote)
                                         : DesktopChipPreviewSource(*setup, &readNote);
            return Read{read, readNote};
        },
        [this, ticket](const Read& read) {
            if (ticket == reads)
                arrived(read.first, read.second);
        });
}

void ChipPreviewFeed::arrived(const ChipPreviewSource& read, const QString& readNote) {
    source = read;
    note = readNote;
    render(true);
}

void ChipPreviewFeed::render(bool fieldsMoved) {
    frmBuffer* buffer = windows.bufferWindow();
    frmMemoryMap* map = windows.memoryMapWindow();
    if (!source || (!buffer && !map))
        return;
    source->time = QDateTime::currentDateTimeUtc();
    ChipPreview preview = PreviewChip(state, *source);
    preview.note = note;
    if (buffer)
        buffer->SetChipPreview(preview);
    // The fields' places change only with the settings.
    if (map && fieldsMoved) {
        std::vector<MemoryMap::Range> perChip;
        for (const FieldPreview& field : std::as_const(preview.fields))
            if (field.address >= 0 && field.address < BufferSize && field.length > 0)
                perChip.push_back({qint32(field.address), qint32(field.end() - 1)});
        map->Map().SetPerChipFields(perChip);
        map->Refresh();
    }
}

} // namespace varn
