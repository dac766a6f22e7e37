#include "service/servicehost.h"

int main(int argc, char *argv[])
{
    return runServiceHost(argc, argv);
}
