#include "plutil.h"

int main(int argc, char* argv[]) { return plutil::run(argc, argv); }
