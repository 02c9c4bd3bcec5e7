#include "app/StartUp.h"

int main(int argc, char** argv) { return RunQuellor(argc, argv); }
