#pragma once
// A level list that tells apart the selection changes a user makes from those made by code:
// the recipient rules must run for every change by mouse or keyboard (a drag, a key, a click),
// never for the changes the rules and the directory make themselves.
#include <QList>
#include <QListWidget>

namespace wispline
{

// An entry of a level list. Entries sort without regard to letter case ("abc", "Abc2", "bob",
// "Zed"), as the sorted list box this follows did; Qt's own order puts capitals first.
class LevelEntry : public QListWidgetItem
{
public:
    explicit LevelEntry(const QString& name);
    bool operator<(const QListWidgetItem& other) const override;
};

class LevelList : public QListWidget
{
    Q_OBJECT
public:
    explicit LevelList(QWidget* parent = nullptr);

signals:
    // Once for every mouse or key event by which the user changed the selected entries or the
    // current entry, and once for a click on an entry that changed neither.
    void userChanged();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Snapshot {
        QList<int> selectedRows;
        int currentRow = -1;
        bool operator==(const Snapshot& other) const
        {
            return currentRow == other.currentRow && selectedRows == other.selectedRows;
        }
    };
    Snapshot snapshot() const;
    // Runs a base handler and reports whether it changed the selection or the current entry;
    // a change is signalled at once.
    template <typename Handler> bool track(Handler&& handler);

    bool changedSincePress_ = false;
};

} // namespace wispline
