// rastertoquillet: CUPS filter from 1-bit CUPS raster to the OAKT stream.
#include "filter.h"

int main(int argc, char *argv[])
{
    return rastertoquillet_main(argc, argv);
}
