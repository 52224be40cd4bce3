// A field of the window: one line of text the operator edits. Where the text
// is wider than the box, the box shows it cut with an ellipsis on the side
// where more lies, and its tooltip holds all of it: a number shown in part
// never passes for the whole, nor for another number.
#ifndef APP_WINDOW_TEXTFIELD_H
#define APP_WINDOW_TEXTFIELD_H

#include <QLineEdit>

namespace app::window {

class TextField : public QLineEdit
{
    Q_OBJECT

public:
    explicit TextField(const QString& text, QWidget* parent = nullptr);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Whether text lies beyond the box's left and right edges, as last painted.
    struct Hidden {
        bool before = false;
        bool after = false;
    };
    Hidden hidden();
    QRect lineRect() const;
};

}  // namespace app::window

#endif
