#include "app/AppDelegate.h"
#include "app/NotificationCenter.h"

void AppDelegate::assignUserToProject(const trevok::Notification&) {}

void AppDelegate::closeUserPicker() {}
