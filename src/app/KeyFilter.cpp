#include "app/KeyFilter.h"

#include "app/Seams.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <QValidator>

namespace wispline
{

KeyVerdict judgeKey(QChar c)
{
    switch (c.unicode()) {
    case 126:
        return KeyVerdict::RefuseTilde;
    case 96:
        return KeyVerdict::RefuseGrave;
    case 39:
    case 34:
        return KeyVerdict::Swallow;
    default:
        return KeyVerdict::Pass;
    }
}

QString stripSeparators(const QString& text, bool* hadSeparator)
{
    QString out;
    out.reserve(text.size());
    bool separator = false;
    for (QChar c : text) {
        const KeyVerdict v = judgeKey(c);
        if (v == KeyVerdict::RefuseTilde || v == KeyVerdict::RefuseGrave)
            separator = true;
        else
            out.append(c);
    }
    if (hadSeparator)
        *hadSeparator = separator;
    return out;
}

static void refuse(KeyVerdict v)
{
    if (v == KeyVerdict::RefuseTilde)
        showBox(QStringLiteral("Tilde (~) key not allowed"), QStringLiteral("Invalid Key"),
                BoxIcon::Information);
    else if (v == KeyVerdict::RefuseGrave)
        showBox(QStringLiteral("Quote (`) key not allowed"), QStringLiteral("Invalid Key"),
                BoxIcon::Information);
}

namespace
{

// Typed keys: refused before they reach the box, with the box for the separators.
class TypedKeyFilter final : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->text().size() == 1) {
                const KeyVerdict v = judgeKey(key->text().at(0));
                if (v != KeyVerdict::Pass) {
                    refuse(v);
                    return true;
                }
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

// Everything else that edits the text (a paste, a drop): the separators are taken out; quotes
// stay, as only typed quotes are swallowed. The validator runs inside the edit, so the box is
// shown once the edit is done.
class PasteValidator final : public QValidator
{
public:
    explicit PasteValidator(QLineEdit* edit) : QValidator(edit), edit_(edit) {}

    State validate(QString& input, int& pos) const override
    {
        bool separator = false;
        const QString before = input.left(pos);
        const QString cleaned = stripSeparators(input, &separator);
        if (cleaned.size() != input.size()) {
            pos = int(stripSeparators(before).size());
            if (separator) {
                const KeyVerdict v = input.contains(QLatin1Char('~')) ? KeyVerdict::RefuseTilde
                                                                      : KeyVerdict::RefuseGrave;
                QPointer<QLineEdit> edit = edit_;
                QTimer::singleShot(0, edit_, [edit, v] {
                    if (edit)
                        refuse(v);
                });
            }
            input = cleaned;
        }
        return Acceptable;
    }

private:
    QLineEdit* edit_;
};

} // namespace

void installSeparatorFilter(QLineEdit* edit)
{
    edit->installEventFilter(new TypedKeyFilter(edit));
    edit->setValidator(new PasteValidator(edit));
}

} // namespace wispline
