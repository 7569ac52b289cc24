#include "app/GuiMessageBox.h"
#include "app/JoinApp.h"

int main(int argc, char** argv) {
  JoinApp app(argc, argv);
  InstallGuiMessageBox();
  app.InitInstance();
  return 0;
}
