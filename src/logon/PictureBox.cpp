#include "logon/PictureBox.h"

#include <QPainter>

namespace wispline
{

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {}

void PictureBox::setPixmap(const QPixmap& pixmap)
{
    pixmap_ = pixmap;
    updateGeometry();
    update();
}

QSize PictureBox::sizeHint() const
{
    return pixmap_.isNull() ? QWidget::sizeHint() : pixmap_.deviceIndependentSize().toSize();
}

void PictureBox::paintEvent(QPaintEvent*)
{
    if (pixmap_.isNull())
        return;
    QPainter painter(this);
    // Drawn over the whole box: a window grown for larger text grows its pictures too.
    painter.drawPixmap(rect(), pixmap_);
}

} // namespace wispline
