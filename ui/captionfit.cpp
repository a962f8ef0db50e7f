#include "ui/captionfit.h"

#include "ui/mainwindowui.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <climits>

namespace {

// The caption's width plus what the style keeps around the contents of a
// button of the current size (frame and margins), and a little air so the
// text does not touch the frame.
int neededWidth(const QPushButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    const int chrome = button->width() - contents.width();
    const int air = 4;
    return QFontMetrics(button->font()).horizontalAdvance(button->text()) + chrome + air;
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

// Below this a caption is no longer readable; better cut than illegible.
constexpr qreal smallestPointSize = 6.0;

template <typename Widget>
void widenToFit(Widget *widget)
{
    widget->ensurePolished(); // the style may still change the font
    const int needed = qMin(neededWidth(widget), widthLimit(widget));
    if (needed > widget->width())
        widget->resize(needed, widget->height());
    // Boxed in by a neighbour: a slightly smaller font still shows it whole.
    QFont font = widget->font();
    while (neededWidth(widget) > widget->width() && font.pointSizeF() - 0.5 >= smallestPointSize) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        widget->setFont(font);
    }
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
