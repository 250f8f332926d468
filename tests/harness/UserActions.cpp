#include "tests/harness/UserActions.h"

#include <QDialog>
#include <QLineEdit>

namespace trevok::test {

bool addUser(AppDelegate& app, const QString& name, const QString& firstName,
             const QString& lastName, const QString& password) {
    app.activateUserSheet();
    QDialog* sheet = app.userSheet();
    if (!sheet)
        return false;
    const auto type = [sheet](const char* field, const QString& text) {
        sheet->findChild<QLineEdit*>(QString::fromLatin1(field))->setText(text);
    };
    type("tmpUserName", name);
    type("tmpFirstName", firstName);
    type("tmpLastName", lastName);
    type("tmpPassword", password);
    type("tmpRepeatPassword", password);
    app.checkUser();
    return !app.userSheet();
}

} // namespace trevok::test
