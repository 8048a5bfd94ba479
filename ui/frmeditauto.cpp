#include "frmeditauto.h"

#include "core/config.h"
#include "functions/functiontable.h"
#include "widgets/messagebox.h"
#include "widgets/twips.h"

#include <QFontMetricsF>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

namespace varn {

namespace {

// Entries are the names of the functions a step may be; the code is what
// auto.cfg stores.
int CodeOf(const QString& text) {
    for (const FunctionRow& row : FunctionTable()) {
        if (row.autoStep && text == QLatin1String(row.name))
            return row.code;
    }
    return -1;
}

} // namespace

frmEditAuto::frmEditAuto(AppState& appState, QWidget* parent) : QDialog(parent), state(appState) {
    setObjectName(QStringLiteral("frmEditAuto"));
    setWindowTitle(tr("Edit Auto"));
    const Twips tw(this);
    // Everything stands one caption line lower than drawn: the lists are named.
    const int down = 300;
    setFixedSize(tw(4320), tw(2775 + down));

    lstIn = new QListWidget(this);
    lstIn->setObjectName(QStringLiteral("lstIn"));
    lstIn->setGeometry(tw(120, 120 + down, 1575, 2010));
    lstOut = new QListWidget(this);
    lstOut->setObjectName(QStringLiteral("lstOut"));
    lstOut->setGeometry(tw(2625, 120 + down, 1575, 2010));
    for (QListWidget* list : {lstIn, lstOut})
        list->setSelectionMode(QAbstractItemView::SingleSelection);
    // Steps are reordered by dragging them, or with the arrow buttons.
    lstOut->setDragDropMode(QAbstractItemView::InternalMove);
    const struct {
        QListWidget* list;
        const char* caption;
        int left;
    } captions[] = {{lstIn, "&Functions:", 120}, {lstOut, "Auto &sequence:", 2625}};
    for (const auto& c : captions) {
        auto* label = new QLabel(tr(c.caption), this);
        label->setGeometry(tw(c.left, 80, 1575, 255));
        label->setBuddy(c.list);
    }

    auto* cmdOk = new QPushButton(tr("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    cmdOk->setGeometry(tw(3225, 2280 + down, 975, 375));
    cmdOk->setAutoDefault(false);
    cmdOk->setDefault(true);
    auto* cmdCancel = new QPushButton(tr("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(tw(120, 2280 + down, 975, 375));
    cmdCancel->setAutoDefault(false);

    struct Mover {
        QPushButton** button;
        const char* name;
        const char* caption;
        int left, top, width;
        const char* tip;
    };
    const Mover movers[] = {
        {&cmdMoveRight, "cmdMoveRight", ">", 1860, 360, 600, "Add the function chosen on the left"},
        {&cmdMoveLeft, "cmdMoveLeft", "<", 1860, 840, 600, "Remove the step chosen on the right"},
        {&cmdMoveLeftAll, "cmdMoveLeftAll", "<<", 1860, 1320, 600, "Remove every step"},
        {&stepUpButton, "stepUpButton", "Up", 1800, 1800, 360, "Move the chosen step up"},
        {&stepDownButton, "stepDownButton", "Dn", 2160, 1800, 360, "Move the chosen step down"}};
    for (const Mover& m : movers) {
        auto* button = new QPushButton(QString::fromLatin1(m.caption), this);
        button->setObjectName(QString::fromLatin1(m.name));
        button->setGeometry(tw(m.left, m.top + down, m.width, 375));
        button->setAutoDefault(false);
        button->setToolTip(tr(m.tip));
        *m.button = button;
    }

    setTabOrder(lstIn, lstOut);
    setTabOrder(lstOut, cmdOk);
    setTabOrder(cmdOk, cmdCancel);
    setTabOrder(cmdCancel, cmdMoveRight);
    setTabOrder(cmdMoveRight, cmdMoveLeft);
    setTabOrder(cmdMoveLeft, cmdMoveLeftAll);

    connect(cmdMoveRight, &QPushButton::clicked, this, &frmEditAuto::cmdMoveRight_Click);
    connect(cmdMoveLeft, &QPushButton::clicked, this, &frmEditAuto::cmdMoveLeft_Click);
    connect(cmdMoveLeftAll, &QPushButton::clicked, this, &frmEditAuto::cmdMoveLeftAll_Click);
    connect(stepUpButton, &QPushButton::clicked, this, [this] { moveStep(-1); });
    connect(stepDownButton, &QPushButton::clicked, this, [this] { moveStep(1); });
    connect(cmdOk, &QPushButton::clicked, this, &frmEditAuto::cmdOk_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmEditAuto::cmdCancel_Click);

    // Read is not offered: a Read step only comes from a stored sequence.
    for (const FunctionRow& row : FunctionTable())
        if (row.offered)
            lstIn->addItem(QString::fromLatin1(row.name));
    lstIn->setCurrentRow(0);

    const int count = qBound(0, int(state.AutoCount), MaxAutoCount);
    for (int step = 1; step <= count; ++step) {
        const int code = state.AutoList[step];
        if (const FunctionRow* row = FindFunction(code); row && row->autoStep)
            lstOut->addItem(QString::fromLatin1(row->name));
    }
    updateButtons();
}

void frmEditAuto::updateButtons() {
    const bool any = lstOut->count() > 0;
    cmdMoveLeft->setEnabled(any);
    cmdMoveLeftAll->setEnabled(any);
    // The stored sequence has room for MaxAutoCount steps and no more.
    cmdMoveRight->setEnabled(lstOut->count() < MaxAutoCount);
}

void frmEditAuto::cmdMoveRight_Click() {
    const QList<QListWidgetItem*> chosen = lstIn->selectedItems();
    if (chosen.isEmpty() || lstOut->count() >= MaxAutoCount)
        return;
    lstOut->addItem(chosen.first()->text());
    updateButtons();
}

void frmEditAuto::cmdMoveLeft_Click() {
    const QList<QListWidgetItem*> chosen = lstOut->selectedItems();
    if (!chosen.isEmpty())
        delete lstOut->takeItem(lstOut->row(chosen.first()));
    updateButtons();
}

void frmEditAuto::moveStep(int by) {
    const int row = lstOut->currentRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= lstOut->count())
        return;
    lstOut->insertItem(to, lstOut->takeItem(row));
    lstOut->setCurrentRow(to);
}

void frmEditAuto::cmdMoveLeftAll_Click() {
    lstOut->clear();
    updateButtons();
}

void frmEditAuto::cmdOk_Click() {
    const int count = qMin(lstOut->count(), MaxAutoCount);
    state.AutoCount = qint16(count);
    for (int step = 1; step <= count; ++step)
        state.AutoList[step] = qint16(CodeOf(lstOut->item(step - 1)->text()));
    const Status saved = SaveAutoList(state);
    if (!saved)
        ShowMessage(this, tr("Edit Auto"), saved.message, MsgIcon::Critical);
    accept();
}

void frmEditAuto::cmdCancel_Click() {
    reject();
}

} // namespace varn
