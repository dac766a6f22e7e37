#include "tunnel/tuntools.h"

const TunTools &nativeTunTools()
{
    static const WindowsTunTools tools;
    return tools;
}
