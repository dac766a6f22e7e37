#include "service/privilege.h"

#include <unistd.h>

namespace privilege {

int privilegeLevel()
{
    return ::geteuid() == 0 ? 1 : 0;
}

} // namespace privilege
