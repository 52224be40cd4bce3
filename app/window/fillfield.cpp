#include "app/window/fillfield.h"

#include <QLineEdit>

namespace app::window {

void fillField(QLineEdit& field, const QString& text)
{
    field.setText(text);
    field.home(false);
}

}  // namespace app::window
