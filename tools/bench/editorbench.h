#pragma once

#include <QString>
#include <vector>

namespace varn::bench {

// Per-repetition times, in nanoseconds, of the buffer window and the image
// files on a 64 KiB device. error is set when a result was not what the
// operation must produce (then the times mean nothing).
struct EditorTimes {
    std::vector<double> updateBuffer; // frmBuffer::UpdateBuffer and its repaint
    std::vector<double> viewOnly;     // the widget-free part of it (text and checksum)
    std::vector<double> typedDigit;   // key press and release to the repainted window
    std::vector<double> hexLoad;      // OpenHexFile
    std::vector<double> hexSave;      // SaveHexFile
    QString error;
};

EditorTimes MeasureEditor(int repetitions, int fileRepetitions);

} // namespace varn::bench
