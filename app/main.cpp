// Starts the frequency converter's operator window.
#include <QApplication>

#include "app/form1.h"
#include "app/modalmessagebox.h"

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    app::ModalMessageBox messageBox;
    app::Form1 form(messageBox);
    messageBox.setParent(&form);
    form.show();
    return application.exec();
}
