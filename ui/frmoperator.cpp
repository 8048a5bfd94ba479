#include "frmoperator.h"

#include "session/operatorboard.h"
#include "session/unitgroup.h"
#include "widgets/screenfit.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

namespace varn {

namespace {

struct Look {
    QColor word;       // the large state word
    QColor background; // the tile
};

Look LookOf(UnitTile::State state, const QPalette& palette) {
    switch (state) {
    case UnitTile::State::Pass:
        return {QColor(0, 120, 0), QColor(222, 245, 222)};
    case UnitTile::State::Fail:
    case UnitTile::State::NotRun:
    case UnitTile::State::Offline:
        return {QColor(190, 0, 0), QColor(252, 226, 226)};
    case UnitTile::State::Stopped:
        return {QColor(170, 90, 0), QColor(253, 240, 214)};
    case UnitTile::State::Running:
        return {QColor(0, 80, 170), QColor(225, 236, 250)};
    case UnitTile::State::Waiting:
        break;
    }
    return {palette.color(QPalette::PlaceholderText), palette.color(QPalette::Base)};
}

QLabel* NewLabel(QWidget* parent, const QString& name, double scale, bool bold = false) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignCenter);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * scale);
    font.setBold(bold);
    label->setFont(font);
    return label;
}

} // namespace

frmOperator::frmOperator(UnitGroup& unitGroup, const AppState& jobImage, const QString& heading,
                         const LineFields& shift, QWidget* parent)
    : RunWindow(parent), group(unitGroup), image(std::make_shared<const AppState>(jobImage)) {
    setObjectName(QStringLiteral("frmOperator"));
    setWindowTitle(tr("Production - Operator Mode"));

    auto* headingLine = NewLabel(this, QStringLiteral("headingLine"), 1.3, true);
    headingLine->setText(heading);
    auto* shiftLine = NewLabel(this, QStringLiteral("shiftLine"), 1.1);
    QStringList shiftParts{tr("Lot %1").arg(shift.lot)};
    if (!shift.workOrder.isEmpty())
        shiftParts << tr("Work order %1").arg(shift.workOrder);
    shiftParts << tr("Operator %1").arg(shift.operatorName);
    shiftLine->setText(shiftParts.join(QStringLiteral("     ")));

    // The tiles scroll where the screen is small; the counts and the buttons
    // stay below them.
    auto* board = new QWidget(this);
    auto* grid = new QGridLayout(board);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(12);
    const int units = group.board().size();
    const int tileWidth = 300;
    // As many tiles side by side as the screen has room for.
    const int fitting = std::max(1, (ScreenRoom(this).width() - 60) / (tileWidth + 12));
    const int columns =
        std::min(fitting, units <= 4 ? units : int(std::ceil(std::sqrt(double(units)))));
    for (int unit = 0; unit < units; ++unit) {
        Tile tile;
        tile.frame = new QFrame(board);
        tile.frame->setObjectName(QStringLiteral("tile%1").arg(unit + 1));
        tile.frame->setFrameShape(QFrame::StyledPanel);
        tile.frame->setAutoFillBackground(true);
        tile.frame->setMinimumSize(tileWidth, 240);
        tile.port = NewLabel(tile.frame, QStringLiteral("port"), 1.3, true);
        tile.state = NewLabel(tile.frame, QStringLiteral("state"), 4.5, true);
        tile.reason = NewLabel(tile.frame, QStringLiteral("reason"), 1.1);
        tile.reason->setWordWrap(true);
        tile.reason->setMinimumHeight(QFontMetrics(tile.reason->font()).lineSpacing() * 3);
        tile.reason->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        tile.serial = NewLabel(tile.frame, QStringLiteral("serial"), 1.2);
        tile.progress = new QProgressBar(tile.frame);
        tile.progress->setObjectName(QStringLiteral("progress"));
        tile.progress->setRange(0, 100);
        tile.progress->setTextVisible(false);
        tile.progress->setMaximumHeight(8);
        auto* inside = new QVBoxLayout(tile.frame);
        inside->setContentsMargins(16, 12, 16, 12);
        inside->addWidget(tile.port);
        inside->addWidget(tile.state, 1);
        inside->addWidget(tile.progress);
        inside->addWidget(tile.reason);
        inside->addWidget(tile.serial);
        grid->addWidget(tile.frame, unit / columns, unit % columns);
        tiles.append(tile);
    }

    countsText = NewLabel(this, QStringLiteral("countsText"), 1.3);
    startButton = new QPushButton(tr("Start"), this);
    startButton->setToolTip(tr("The next chip on every unit (Space or Enter)"));
    startButton->setObjectName(QStringLiteral("startButton"));
    startButton->setDefault(true);
    startButton->setMinimumHeight(40);
    addStopButton(tr("Ends every unit's chip at the next block (Esc)"));
    stopButton->setMinimumHeight(40);
    addCloseButton();
    cmdClose->setToolTip(tr("Back to the main window, still in operator mode"));
    leaveButton = new QPushButton(tr("Leave Operator Mode"), this);
    leaveButton->setObjectName(QStringLiteral("leaveButton"));
    leaveButton->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(startButton, 2);
    buttons->addWidget(stopButton, 1);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    buttons->addWidget(leaveButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(headingLine);
    layout->addWidget(shiftLine);
    layout->addSpacing(6);
    layout->addWidget(new ScrollPanel(board, this), 1);
    layout->addSpacing(6);
    layout->addWidget(countsText);
    layout->addLayout(buttons);

    // After a stop for failures in a row only the button resumes.
    addStartKeys([this] {
        if (!group.board().anyHalted())
            startClicked();
    });
    connect(startButton, &QPushButton::clicked, this, &frmOperator::startClicked);
    connect(leaveButton, &QPushButton::clicked, this, [this] {
        if (isRunning())
            return;
        leave = true;
        accept();
    });
    connect(&group, &UnitGroup::changed, this, &frmOperator::showBoard);
    startButton->setFocus();
    showBoard();
    FitToScreen(this);
}

bool frmOperator::isRunning() const {
    return group.busy() || group.board().anyRunning();
}

void frmOperator::startClicked() {
    // A key pressed while chips are under way means nothing.
    if (!isRunning())
        group.start(image, group.board().anyHalted());
    showBoard();
}

void frmOperator::stopChip() {
    group.stop();
}

void frmOperator::showBoard() {
    const OperatorBoard& board = group.board();
    for (int unit = 0; unit < tiles.size() && unit < board.size(); ++unit) {
        const UnitTile& t = board.tile(unit);
        const Tile& w = tiles[unit];
        w.port->setText(t.port);
        w.state->setText(OperatorBoard::stateText(t.state));
        const Look look = LookOf(t.state, palette());
        QPalette pal = w.frame->palette();
        pal.setColor(QPalette::Window, look.background);
        w.frame->setPalette(pal);
        QPalette word = w.state->palette();
        word.setColor(QPalette::WindowText, look.word);
        w.state->setPalette(word);
        w.reason->setText(t.reason);
        w.serial->setText(t.serial >= 0 ? tr("Serial number %1").arg(t.serial) : QString());
        w.progress->setValue(t.percent);
        w.progress->setVisible(t.state == UnitTile::State::Running);
    }
    countsText->setText(YieldText(board.total()));
    startButton->setText(board.anyHalted() ? tr("Resume") : tr("Start"));
    showRunButtons(startButton, true);
    leaveButton->setEnabled(!isRunning());
}

std::optional<LineFields> AskShift(QWidget* parent, const LineFields& given) {
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("frmShift"));
    dialog.setWindowTitle(QObject::tr("Operator Mode"));
    auto* operatorName = new QLineEdit(given.operatorName, &dialog);
    operatorName->setObjectName(QStringLiteral("operatorName"));
    auto* lot = new QLineEdit(given.lot, &dialog);
    lot->setObjectName(QStringLiteral("lot"));
    auto* workOrder = new QLineEdit(given.workOrder, &dialog);
    workOrder->setObjectName(QStringLiteral("workOrder"));
    auto* problemText = new QLabel(&dialog);
    problemText->setObjectName(QStringLiteral("problemText"));
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    auto* form = new QFormLayout(&dialog);
    form->addRow(new QLabel(QObject::tr("Every chip's record names them."), &dialog));
    form->addRow(QObject::tr("&Operator:"), operatorName);
    form->addRow(QObject::tr("&Lot:"), lot);
    form->addRow(QObject::tr("&Work order:"), workOrder);
    form->addRow(problemText);
    form->addRow(box);
    LineFields shift = given;
    const auto check = [&] {
        shift.operatorName = operatorName->text().trimmed();
        shift.lot = lot->text().trimmed();
        shift.workOrder = workOrder->text().trimmed();
        const QString problem = ShiftProblem(shift);
        problemText->setText(problem);
        box->button(QDialogButtonBox::Ok)->setEnabled(problem.isEmpty());
    };
    for (QLineEdit* edit : {operatorName, lot, workOrder})
        QObject::connect(edit, &QLineEdit::textChanged, &dialog, check);
    QObject::connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    check();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return shift;
}

} // namespace varn
