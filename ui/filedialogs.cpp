#include "filedialogs.h"

#include "core/placement.h"
#include "files/recentfiles.h"
#include "jobs/productionjob.h"
#include "ui/frmoperator.h"
#include "widgets/screenfit.h"

#include <QFileInfo>
#include <QInputDialog>

namespace varn {

FileDialogs DesktopFileDialogs(const RecentFiles& recent) {
    static const QString filters =
        QStringLiteral("Intel HEX (*.hex *.ihx);;S-record (*.s19 *.s28 *.s37 *.srec *.mot *.s);;"
                       "Binary (*.bin);;All files (*)");
    FileDialogs dialogs;
    const RecentFiles* files = &recent;
    dialogs.showOpen = [files](QWidget* parent) {
        return AskOpenFile(parent, QString(), files->LastFolder(), filters);
    };
    dialogs.showSave = [files](QWidget* parent) {
        // The chosen filter names the format when the name has no extension.
        QString filter;
        const QString path = AskSaveFile(parent, QString(), files->LastFolder(), filters, &filter);
        return PathForFilter(path, filter);
    };
    dialogs.showJob = [files](QWidget* parent, bool save) {
        const QString filter = QStringLiteral("Job files (*.%1)").arg(QLatin1String(JobFileSuffix));
        if (!save)
            return AskOpenFile(parent, QStringLiteral("Open Job"), files->LastFolder(), filter);
        const QString path =
            AskSaveFile(parent, QStringLiteral("Save Job"), files->LastFolder(), filter);
        return path.isEmpty() || !QFileInfo(path).suffix().isEmpty()
                   ? path
                   : path + QLatin1Char('.') + QLatin1String(JobFileSuffix);
    };
    dialogs.askText = [](QWidget* parent, const QString& title, const QString& label) {
        return QInputDialog::getText(parent, title, label);
    };
    dialogs.askShift = &AskShift;
    return dialogs;
}

} // namespace varn
