#include "app/AppDelegate.h"

void AppDelegate::selectFirstUser() {}
