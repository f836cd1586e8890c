// Identifiers of the dialog's resources, shared by the resource script and the C++ code. Kept
// to #define lines so that windres reads it too. The control identifiers are the template's
// (app/dialog_template.h names the same numbers for the Qt window).
#pragma once

#define IDD_VUMO_DFU_UTILITY 102
#define IDR_MAINFRAME 128

#define IDC_PROGRESS 1002
#define IDC_PATH 1003
#define IDC_WARNING 1004
#define IDC_BROWSE 1006
#define IDC_UPDATE 1007
#define IDC_DEVICE_LIST 1008
#define IDC_CHANGE_MODE 1009
#define IDC_RADIO_DFU 1011
#define IDC_RADIO_HID 1012
#define IDC_CLOSE 1013
#define IDC_DEVICE_OPEN 1016
#define IDC_VERSION 1017
#define IDC_STATIC (-1)
