#include "ui/captionfit.h"

#include "ui/mainwindowui.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <climits>

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

// Widening must not push a box under a visible neighbour on its right: the
// neighbour would hide the caption instead (Open and Close share a row). The
// one pixel column the form lets adjacent boxes share stays allowed.
int widthLimit(const QWidget *widget)
{
    const QRect box = widget->geometry();
    int limit = INT_MAX;
    const QWidget *parent = widget->parentWidget();
    for (const QWidget *sibling : parent->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        const QRect other = sibling->geometry();
        if (sibling == widget || sibling->isHidden() || other.x() < box.right())
            continue;
        const int sharedRows = qMin(box.bottom(), other.bottom()) - qMax(box.top(), other.top()) + 1;
        if (sharedRows > 1)
            limit = qMin(limit, other.x() - box.x() + 1);
    }
    return limit;
}

template <typename Widget>
void widenToFit(Widget *widget)
{
    widget->ensurePolished(); // the style may still change the font
    const int needed = qMin(neededWidth(widget), widthLimit(widget));
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
