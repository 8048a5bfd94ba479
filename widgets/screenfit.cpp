#include "screenfit.h"

#include <algorithm>

#include <QEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QWidget>

namespace varn {

namespace {

// What a window manager adds around a window before it has done so: a
// title bar and thin borders.
const QMargins UnframedAllowance(4, 30, 4, 4);

QMargins FrameOf(const QWidget* window) {
    const QRect frame = window->frameGeometry(), inner = window->geometry();
    return {inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
            frame.bottom() - inner.bottom()};
}

bool Framed(const QWidget* window) {
    return window->isVisible() && window->frameGeometry() != window->geometry();
}

QString Ask(QWidget* parent, QFileDialog::AcceptMode accept, QFileDialog::FileMode mode,
            const QString& title, const QString& start, const QString& filters,
            QString* chosenFilter) {
    QFileDialog dialog(parent, title, start, filters);
    dialog.setObjectName(QStringLiteral("fileDialog"));
    dialog.setAcceptMode(accept);
    dialog.setFileMode(mode);
    if (mode == QFileDialog::Directory)
        dialog.setOption(QFileDialog::ShowDirsOnly);
    if (chosenFilter && !chosenFilter->isEmpty())
        dialog.selectNameFilter(*chosenFilter);
    FitToScreen(&dialog);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    if (chosenFilter)
        *chosenFilter = dialog.selectedNameFilter();
    return dialog.selectedFiles().value(0);
}

} // namespace

QRect ScreenRoom(const QWidget* window) {
    const QWidget* owner = window->parentWidget() ? window->parentWidget()->window() : window;
    const QScreen* screen = owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return {};
    const QMargins frame = Framed(window)  ? FrameOf(window)
                           : Framed(owner) ? FrameOf(owner)
                                           : UnframedAllowance;
    return screen->availableGeometry().marginsRemoved(frame);
}

namespace {

// Once shown and framed, a window is moved (and if need be shrunk) onto the
// screen's available area: Qt centres a dialog on its owner allowing only for
// the frame's top and left, and a window manager may frame a window larger
// than it was told.
class KeepOnScreen : public QObject {
public:
    explicit KeepOnScreen(QWidget* window) : QObject(window) {
        setObjectName(Name);
        window->installEventFilter(this);
    }
    static constexpr const char* Name = "keepOnScreen";

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show)
            QTimer::singleShot(0, this, [this] { fit(static_cast<QWidget*>(parent())); });
        return QObject::eventFilter(watched, event);
    }

private:
    static void fit(QWidget* window) {
        const QScreen* screen = window->screen();
        if (!screen || !window->isVisible())
            return;
        const QRect area = screen->availableGeometry();
        const QRect frame = window->frameGeometry();
        if (area.contains(frame))
            return;
        const QSize excess = (frame.size() - area.size()).expandedTo(QSize(0, 0));
        window->resize(window->size() - excess);
        const QSize size = frame.size() - excess;
        window->move(std::clamp(frame.left(), area.left(), area.right() + 1 - size.width()),
                     std::clamp(frame.top(), area.top(), area.bottom() + 1 - size.height()));
    }
};

} // namespace

void FitToScreen(QWidget* window, const QSize& wanted) {
    // The minimum comes from the layout once it has been worked out.
    if (QLayout* layout = window->layout())
        layout->activate();
    const QSize size = wanted.isValid() ? wanted : window->sizeHint();
    window->resize(size.boundedTo(ScreenRoom(window).size()));
    if (!window->findChild<QObject*>(QLatin1String(KeepOnScreen::Name), Qt::FindDirectChildrenOnly))
        new KeepOnScreen(window);
}

ScrollPanel::ScrollPanel(QWidget* content, QWidget* parent) : QScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidget(content);
}

QSize ScrollPanel::sizeHint() const {
    const int frame = 2 * frameWidth();
    return widget()->sizeHint() + QSize(frame, frame);
}

QSize ScrollPanel::minimumSizeHint() const {
    // As wide as the content needs beside a vertical scroll bar, so that it
    // never scrolls sideways as well; a few lines high.
    const int frame = 2 * frameWidth();
    const int bar = verticalScrollBar()->sizeHint().width();
    return {widget()->minimumSizeHint().width() + bar + frame,
            std::min(widget()->sizeHint().height(), 4 * fontMetrics().height()) + frame};
}

QString AskOpenFile(QWidget* parent, const QString& title, const QString& folder,
                    const QString& filters) {
    return Ask(parent, QFileDialog::AcceptOpen, QFileDialog::ExistingFile, title, folder, filters,
               nullptr);
}

QString AskSaveFile(QWidget* parent, const QString& title, const QString& start,
                    const QString& filters, QString* chosenFilter) {
    return Ask(parent, QFileDialog::AcceptSave, QFileDialog::AnyFile, title, start, filters,
               chosenFilter);
}

QString AskFolder(QWidget* parent, const QString& title, const QString& folder) {
    return Ask(parent, QFileDialog::AcceptOpen, QFileDialog::Directory, title, folder, {}, nullptr);
}

} // namespace varn
