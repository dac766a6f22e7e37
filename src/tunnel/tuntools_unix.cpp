#include "tunnel/tuntools.h"

const TunTools &nativeTunTools()
{
    static const LinuxTunTools tools;
    return tools;
}
