#include "flashermain.h"

int main(int argc, char **argv)
{
    return flasherMain(argc, argv);
}
