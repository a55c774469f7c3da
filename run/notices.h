// The eleven message boxes of a run: nine notices and two questions.
// Texts are stored as code page 1251 bytes.
#ifndef QUILLMERE_RUN_NOTICES_H
#define QUILLMERE_RUN_NOTICES_H

// Notices: show the box and return when the operator closes it.
void ShowNoJobFileNotice();          // "Error 1"
void ShowBadJobFileNotice();         // "Error 2"
void ShowImageOpenErrorNotice();     // "Error 3"
void ShowNoDeviceNotice();           // "Error 4"
void ShowWillNotWorkNotice();        // "Error 5"
void ShowCommandErrorNotice();       // "Error 7"
void ShowProgrammingFailedNotice();  // "Error 11"
void ShowModeCancelledNotice();      // "QUILLMERE", information
void ShowProgrammingDoneNotice();    // "QUILLMERE", information

// Questions: return 6 Yes, 7 No, 2 Cancel (Yes/No/Cancel only), 0 when the
// box could not be shown.
int AskStartProgramming();       // Yes/No/Cancel
int AskCancelProgrammingMode();  // Yes/No

#endif
