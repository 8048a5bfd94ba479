#pragma once

#include <QRect>
#include <QScrollArea>
#include <QSize>
#include <QString>

namespace varn {

// The room a top-level window has: the available area of the screen it
// shows on (its owner's), less its frame. Before a window manager has
// framed it, the owner's frame stands for it, else room for a title bar.
QRect ScreenRoom(const QWidget* window);

// Gives a window its first size: wanted (its layout's size hint when
// invalid), no larger than ScreenRoom and no smaller than its minimum. A
// window whose content can outgrow a small screen keeps that content in a
// scroll area, so that its minimum stays small.
void FitToScreen(QWidget* window, const QSize& wanted = {});

// The part of a window that may outgrow a small screen. It asks for room
// for all of its content, so that a window gets its full size where the
// screen has it, and scrolls (up and down) only where it has not.
class ScrollPanel : public QScrollArea {
public:
    ScrollPanel(QWidget* content, QWidget* parent);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
};

// The file dialogs, sized to the screen like every other window (Qt's own
// dialog, where the platform has no native one, is larger than a small
// screen at a large scale). Each returns the chosen path, empty when
// cancelled; chosenFilter, when given, starts as the filter to select and
// gets the one chosen.
QString AskOpenFile(QWidget* parent, const QString& title, const QString& folder,
                    const QString& filters);
QString AskSaveFile(QWidget* parent, const QString& title, const QString& start,
                    const QString& filters, QString* chosenFilter = nullptr);
QString AskFolder(QWidget* parent, const QString& title, const QString& folder);

} // namespace varn
