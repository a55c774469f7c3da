// The eleven message boxes of a run. Captions are ASCII; texts are the
// operator's Russian messages stored as code page 1251 bytes, every blank
// counted, and handed unchanged to the platform's message box.
#include "run/notices.h"

#include "platform/platform.h"

namespace {

// Box type flags: OK with an error icon, OK with an information icon,
// Yes/No/Cancel and Yes/No with a warning icon.
constexpr uint32_t kErrorBox = 0x10;
constexpr uint32_t kInfoBox = 0x40;
constexpr uint32_t kYesNoCancelBox = 0x33;
constexpr uint32_t kYesNoBox = 0x34;

}  // namespace

void ShowNoJobFileNotice() {
    // "          Отсутствует файл 'f_write.txt'          " (50 bytes)
    PlatformMessageBox("          \xCE\xF2\xF1\xF3\xF2\xF1\xF2\xE2\xF3\xE5\xF2 \xF4\xE0\xE9\xEB 'f_write.txt'          ",
                       "Error 1", kErrorBox);
}

void ShowBadJobFileNotice() {
    // "   Информация в файле 'f_write.txt' некорректна   " (50 bytes)
    PlatformMessageBox("   \xC8\xED\xF4\xEE\xF0\xEC\xE0\xF6\xE8\xFF \xE2 \xF4\xE0\xE9\xEB\xE5 'f_write.txt' "
                       "\xED\xE5\xEA\xEE\xF0\xF0\xE5\xEA\xF2\xED\xE0   ",
                       "Error 2", kErrorBox);
}

void ShowImageOpenErrorNotice() {
    // "         Ошибка открытия файла программы          " (50 bytes)
    PlatformMessageBox("         \xCE\xF8\xE8\xE1\xEA\xE0 \xEE\xF2\xEA\xF0\xFB\xF2\xE8\xFF \xF4\xE0\xE9\xEB\xE0 "
                       "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB          ",
                       "Error 3", kErrorBox);
}

void ShowNoDeviceNotice() {
    // "Устройство не подключено или драйвер не установлен" (50 bytes)
    PlatformMessageBox("\xD3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE \xED\xE5 \xEF\xEE\xE4\xEA\xEB\xFE\xF7\xE5\xED\xEE "
                       "\xE8\xEB\xE8 \xE4\xF0\xE0\xE9\xE2\xE5\xF0 \xED\xE5 \xF3\xF1\xF2\xE0\xED\xEE\xE2\xEB\xE5\xED",
                       "Error 4", kErrorBox);
}

void ShowWillNotWorkNotice() {
    // "  ***    ПРОГРАММА РАБОТАТЬ НЕ БУДЕТ !     ***    " (50 bytes)
    PlatformMessageBox("  ***    \xCF\xD0\xCE\xC3\xD0\xC0\xCC\xCC\xC0 \xD0\xC0\xC1\xCE\xD2\xC0\xD2\xDC \xCD\xC5 "
                       "\xC1\xD3\xC4\xC5\xD2 !     ***    ",
                       "Error 5", kErrorBox);
}

void ShowCommandErrorNotice() {
    // "  * Ошибка выполнения команды *    " (35 bytes)
    PlatformMessageBox("  * \xCE\xF8\xE8\xE1\xEA\xE0 \xE2\xFB\xEF\xEE\xEB\xED\xE5\xED\xE8\xFF "
                       "\xEA\xEE\xEC\xE0\xED\xE4\xFB *    ",
                       "Error 7", kErrorBox);
}

void ShowProgrammingFailedNotice() {
    // "  Ошибка ! Программирование не выполнено ! " (43 bytes)
    PlatformMessageBox("  \xCE\xF8\xE8\xE1\xEA\xE0 ! \xCF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE8\xF0\xEE\xE2\xE0\xED\xE8\xE5 "
                       "\xED\xE5 \xE2\xFB\xEF\xEE\xEB\xED\xE5\xED\xEE ! ",
                       "Error 11", kErrorBox);
}

void ShowModeCancelledNotice() {
    // "  ---  Режим программирования отменен  ---   " (45 bytes)
    PlatformMessageBox("  ---  \xD0\xE5\xE6\xE8\xEC \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE8\xF0\xEE\xE2\xE0\xED\xE8\xFF "
                       "\xEE\xF2\xEC\xE5\xED\xE5\xED  ---   ",
                       "QUILLMERE", kInfoBox);
}

void ShowProgrammingDoneNotice() {
    // "   Запись новой программы в прибор выполнена  " (46 bytes)
    PlatformMessageBox("   \xC7\xE0\xEF\xE8\xF1\xFC \xED\xEE\xE2\xEE\xE9 \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB "
                       "\xE2 \xEF\xF0\xE8\xE1\xEE\xF0 \xE2\xFB\xEF\xEE\xEB\xED\xE5\xED\xE0  ",
                       "QUILLMERE", kInfoBox);
}

int AskStartProgramming() {
    // " Запустить программирование ? " (30 bytes)
    return PlatformMessageBox(" \xC7\xE0\xEF\xF3\xF1\xF2\xE8\xF2\xFC "
                              "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE8\xF0\xEE\xE2\xE0\xED\xE8\xE5 ? ",
                              " Attention ", kYesNoCancelBox);
}

int AskCancelProgrammingMode() {
    // " Отменить режим программирования в приборе ? " (45 bytes)
    return PlatformMessageBox(" \xCE\xF2\xEC\xE5\xED\xE8\xF2\xFC \xF0\xE5\xE6\xE8\xEC "
                              "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE8\xF0\xEE\xE2\xE0\xED\xE8\xFF "
                              "\xE2 \xEF\xF0\xE8\xE1\xEE\xF0\xE5 ? ",
                              " Attention ", kYesNoBox);
}
