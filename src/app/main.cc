#include "app/driver_main.h"

int main(int argc, char** argv) { return DriverMain(argc, argv); }
