#include "service/servicehost.h"

// Built with -municode: the arguments arrive as the wide strings Windows keeps them in.
int wmain(int argc, wchar_t *argv[])
{
    return runServiceHost(argc, argv);
}
