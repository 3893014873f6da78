/* Control ids of the dialog templates: the one list for the templates (upgsetup.rc), the
   programs and the end-to-end driver. Plain defines, so that the resource compiler reads it. */
#ifndef UPG_CONTROLS_H
#define UPG_CONTROLS_H

/* MAIN: the main window. */
#define IDC_MAIN_APPLY 300
#define IDC_MAIN_NOTES 101
#define IDC_MAIN_FOLDER_TEXT 102
#define IDC_MAIN_FOLDER 103

/* UPGPROGRESS: the progress view of an apply. */
#define IDC_PROGRESS_CANCEL 2
#define IDC_PROGRESS_FILE 101
#define IDC_PROGRESS_DESCRIPTION 102
#define IDC_PROGRESS_OPERATION 103
#define IDC_PROGRESS_BAR 105

#endif
