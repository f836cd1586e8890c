// vumo-dfu-utility: the firmware update window.

#include "app/application.h"

int main(int argc, char** argv) {
    vumo::app::CVumo_DFU_UtilityApp theApp;
    return theApp.Run(argc, argv);
}
