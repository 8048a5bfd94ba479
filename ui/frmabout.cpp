#include "frmabout.h"

#include "ui/appicon.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace varn {

namespace {
QLabel* makeLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}
} // namespace

frmAbout::frmAbout(QWidget* parent, bool startupScreen) : QDialog(parent) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QString());
    if (startupScreen) {
        // No frame to drag or close: it goes away by itself once the unit
        // has had its second to answer.
        setWindowFlags(Qt::SplashScreen);
    } else {
        setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                       Qt::WindowCloseButtonHint);
    }

    icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(AppIcon().pixmap(QSize(32, 32), devicePixelRatio()));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    Label1 = makeLabel(this, "Label1", QStringLiteral("Varnet"));
    QFont small(QStringLiteral("Sans Serif"));
    small.setStyleHint(QFont::SansSerif);
    Label1->setFont(small);

    Label2 = makeLabel(this, "Label2", QStringLiteral("VARN"));
    // Where the drawn face is missing, a plain sans-serif face stands in:
    // the "fantasy" fallback of some systems is a symbol font that cannot
    // show the name at all.
    QFont large;
    large.setFamilies({QStringLiteral("Comic Sans MS"), QStringLiteral("Comic Neue"),
                       QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    large.setStyleHint(QFont::SansSerif);
    large.setPointSize(28);
    large.setBold(true);
    Label2->setFont(large);

    Label3 = makeLabel(this, "Label3", QStringLiteral("Varnet Electronics, Springfield"));
    Label4 = makeLabel(this, "Label4", QStringLiteral("www.varnet.example"));
    Label5 = makeLabel(this, "Label5", QStringLiteral("support@varnet.example"));
    Label6 = makeLabel(this, "Label6", QStringLiteral("Version 2.0, 15/06/05"));

    cmdOk = new QPushButton(QStringLiteral("OK"), this);
    cmdOk->setObjectName(QStringLiteral("cmdOk"));
    // Default and cancel button at once: Enter and Esc both press it (QDialog
    // maps Esc to reject(), which closes the box the same way).
    cmdOk->setDefault(true);
    cmdOk->setAutoDefault(true);
    cmdOk->setVisible(!startupScreen);
    connect(cmdOk, &QPushButton::clicked, this, &frmAbout::cmdOk_Click);

    auto* text = new QVBoxLayout;
    text->addWidget(Label1);
    text->addWidget(Label2);
    text->addSpacing(8);
    text->addWidget(Label3);
    text->addWidget(Label4);
    text->addWidget(Label5);
    text->addSpacing(8);
    text->addWidget(Label6);

    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(12);
    top->addLayout(text, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOk);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 16, 16, 16);
    outer->addLayout(top);
    outer->addLayout(buttons);
}

void frmAbout::cmdOk_Click() {
    accept();
}

} // namespace varn
