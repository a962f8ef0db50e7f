#include "ui/captionfit.h"

#include "ui/mainwindowui.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

// The caption plus the style's frame and margins. The option carries no
// text, so the style's minimum button width does not count as need: a short
// caption in a narrow box shows whole and must keep the form's width.
int neededWidth(const QPushButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.features = QStyleOptionButton::None;
    if (button->autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    if (button->isDefault())
        option.features |= QStyleOptionButton::DefaultButton;
    if (button->isFlat())
        option.features |= QStyleOptionButton::Flat;
    const QSize text = QFontMetrics(button->font()).size(Qt::TextShowMnemonic, button->text());
    return button->style()->sizeFromContents(QStyle::CT_PushButton, &option, text, button).width();
}

// A label's size hint is its text plus its margins and indent.
int neededWidth(const QLabel *label)
{
    return label->sizeHint().width();
}

template <typename Widget>
void widenToFit(Widget *widget)
{
    widget->ensurePolished(); // the style may still change the font
    const int needed = neededWidth(widget);
    if (needed > widget->width())
        widget->resize(needed, widget->height());
}

} // namespace

void widenCaptionsToFit(MainWindowUi *ui)
{
    for (QPushButton *button : {ui->pushButton_OpenPort, ui->pushButton_PortsInfo,
                                ui->pushButton_ClosePort, ui->pushButton_SendTo_lamda,
                                ui->pushButton_ClosePort_2, ui->pushButton_read, ui->pushButton})
        widenToFit(button);
    for (QLabel *label : {ui->label, ui->label_4, ui->label_5, ui->label_7, ui->label_8,
                          ui->label_9, ui->label_2})
        widenToFit(label);
}
