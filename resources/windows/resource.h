// Resource identifiers of the Windows program, shared by the resource script
// and the code (the console's control ids are IDC_LOG and IDC_INPUT there).
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_BRICKFIX_DIALOG 102
#define IDR_MAINFRAME 128
#define IDC_EDIT_LOG 1000
#define IDC_EDIT_INPUT 1001
#define IDC_ABOUT_NAME 1002
#define IDC_ABOUT_VERSION 1003
