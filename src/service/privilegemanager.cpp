#include "service/privilegemanager.h"
#include "service/privilege.h"

PrivilegeManager::PrivilegeManager(QObject *parent)
    : QObject(parent)
    , m_elevated(privilegeLevel() >= 1)
{
}

int PrivilegeManager::privilegeLevel()
{
    return privilege::privilegeLevel();
}
