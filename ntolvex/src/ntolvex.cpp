#include "front.h"

int main(int argc, char** argv) { return ntolvex::run(argc, argv); }
