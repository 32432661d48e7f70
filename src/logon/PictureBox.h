#pragma once
// A fixed picture on a window. Not a label: the colour scheme leaves pictures alone.
#include <QPixmap>
#include <QWidget>

namespace wispline
{

class PictureBox : public QWidget
{
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);
    void setPixmap(const QPixmap& pixmap);
    const QPixmap& pixmap() const { return pixmap_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap pixmap_;
};

} // namespace wispline
