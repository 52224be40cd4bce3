// The program putting a text into a field: a result, the '0' of RUN, the
// operating point a remote client sends.
#ifndef APP_WINDOW_FILLFIELD_H
#define APP_WINDOW_FILLFIELD_H

class QLineEdit;
class QString;

namespace app::window {

// Sets field's text, a text change as any other (the field's handlers run),
// and shows it from its first character: a field scrolled to the end of a
// text wider than itself shows a tail that reads as another number
// ("833333333333" of "3.49833333333333").
void fillField(QLineEdit& field, const QString& text);

}  // namespace app::window

#endif
