#include "chippreviewfeed.h"

#include "core/appstate.h"
#include "editor/frmbuffer.h"
#include "editor/frmmemorymap.h"
#include "session/desktopsettings.h"
#include "ui/windowplacement.h"

#include <QDateTime>
#include <utility>
#include <vector>

namespace varn {

ChipPreviewFeed::ChipPreviewFeed(const AppState& appState, const WindowPlacement& placement,
                                 std::function<std::optional<SessionSettings>()> settingsOfJob,
                                 QObject* parent)
    : QObject(parent), state(appState), windows(placement), jobSettings(std::move(settingsOfJob)) {}

void ChipPreviewFeed::show(bool readLog) {
    frmBuffer* buffer = windows.bufferWindow();
    frmMemoryMap* map = windows.memoryMapWindow();
    if (readLog)
        source.reset();
    if (!buffer && !map)
        return;
    if (!source) {
        note.clear();
        // With a job opened, Production runs the job's fields, not varn.ini's.
        const std::optional<SessionSettings> job = jobSettings ? jobSettings() : std::nullopt;
        source =
            job ? SessionChipPreviewSource(*job, &note) : DesktopChipPreviewSource(state, &note);
    }
    source->time = QDateTime::currentDateTimeUtc();
    ChipPreview preview = PreviewChip(state, *source);
    preview.note = note;
    if (buffer)
        buffer->SetChipPreview(preview);
    // The fields' places change only with the settings.
    if (map && readLog) {
        std::vector<MemoryMap::Range> perChip;
        for (const FieldPreview& field : std::as_const(preview.fields))
            if (field.address >= 0 && field.address < BufferSize && field.length > 0)
                perChip.push_back({qint32(field.address), qint32(field.end() - 1)});
        map->Map().SetPerChipFields(perChip);
        map->Refresh();
    }
}

} // namespace varn
