#pragma once
// The small help window opened from the "&Help" menu. Each opening creates a new one; OK and
// Esc (the dialog's own reject key) close it.
#include <QDialog>

class QLabel;
class QPushButton;

namespace wispline
{

class FrmHelp : public QDialog
{
    Q_OBJECT
public:
    explicit FrmHelp(QWidget* parent = nullptr);

    // The advice shown in lblHelpText.
    static QString helpText();

    QLabel* Picture1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* lblHelpText = nullptr;
    QPushButton* cmdOK = nullptr;

public slots:
    void cmdOK_Click();

private:
    void Form_Load();
};

} // namespace wispline
