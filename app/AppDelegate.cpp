#include "app/AppDelegate.h"
#include "server/ServerProcess.h"

AppDelegate::AppDelegate(QObject* parent)
    : QObject(parent)
{
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    launchCouchDB();
}
