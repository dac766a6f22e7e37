#include "tunnel/tuntools.h"

const TunTools &nativeTunTools()
{
    return linuxTunTools();
}
