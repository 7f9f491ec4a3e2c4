#include "appkit/application.h"
#include "main_interface.h"

int main(int argc, char* argv[]) {
  return appkit::NSApplicationMain(argc, argv, loadMainInterface);
}
