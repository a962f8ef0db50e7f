// SPDX-License-Identifier: MIT
#include "ui/captionfit.h"

#include "ui/mainwindowui.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

#include <climits>
#include <cmath>

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
    return button->fontMetrics().horizontalAdvance(button->text()) + chrome + air;
}

// A label's size hint is its text plus its margins and indent.
int neededWidth(const QLabel *label)
{
    return label->sizeHint().width();
}

bool fitsAsIs(const QPushButton *button)
{
    return neededWidth(button) <= button->width();
}

// The size hint lays the text out; most captions fit, and measuring the
// text against the room there is tells so for much less.
bool fitsAsIs(const QLabel *label)
{
    const int room = label->contentsRect().width() - 2 * label->margin() - qMax(label->indent(), 0);
    return label->fontMetrics().horizontalAdvance(label->text()) <= room;
}

QString captionOf(const QPushButton *button)
{
    return button->text();
}

QString captionOf(const QLabel *label)
{
    return label->text();
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

// Each font size costs a font to load, so the size that fits is computed
// from the text's width rather than searched for.
template <typename Widget>
void shrinkFontToFit(Widget *widget, int needed)
{
    QFont font = widget->font();
    const qreal size = font.pointSizeF();
    if (size - 0.5 < smallestPointSize) // also a font sized in pixels: left alone
        return;
    const int text = widget->fontMetrics().horizontalAdvance(captionOf(widget));
    const int room = text - (needed - widget->width());
    // Text width grows with the point size; half points down from there.
    qreal fitting = std::floor(size * qMax(room, 0) / qMax(text, 1) * 2) / 2;
    fitting = qBound(smallestPointSize, fitting, size - 0.5);
    font.setPointSizeF(fitting);
    widget->setFont(font);
    // Hinting can make the smaller text a pixel wider than its share.
    if (neededWidth(widget) > widget->width() && fitting - 0.5 >= smallestPointSize) {
        font.setPointSizeF(fitting - 0.5);
        widget->setFont(font);
    }
}

template <typename Widget>
void fitCaption(Widget *widget)
{
    widget->ensurePolished(); // the style may still change the font
    if (fitsAsIs(widget))
        return;
    const int needed = neededWidth(widget);
    const int wanted = qMin(needed, widthLimit(widget));
    if (wanted > widget->width())
        widget->resize(wanted, widget->height());
    // Boxed in by a neighbour: a slightly smaller font still shows it whole.
    if (needed > widget->width())
        shrinkFontToFit(widget, needed);
}

} // namespace

void widenCaptionsToFit(MainWindowUi *ui)
{
    for (QPushButton *button : {ui->pushButton_OpenPort, ui->pushButton_PortsInfo,
                                ui->pushButton_ClosePort, ui->pushButton_SendTo_lamda,
                                ui->pushButton_ClosePort_2, ui->pushButton_read, ui->pushButton})
        fitCaption(button);
    for (QLabel *label : {ui->label, ui->label_4, ui->label_5, ui->label_7, ui->label_8,
                          ui->label_9, ui->label_2})
        fitCaption(label);
}
