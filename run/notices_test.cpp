// The eleven boxes: captions, type flags and code page 1251 texts, checked
// against the operator's texts written out in UTF-8.
#include "run/notices.h"

#include <gtest/gtest.h>

#include "platform/fake_platform.h"
#include "run/test_text.h"

namespace {

using runtest::Cp1251ToUtf8;

struct BoxCase {
    void (*notice)();
    int (*question)();
    const char* caption;
    uint32_t type;
    size_t bytes;
    const char* text;  // UTF-8
};

const BoxCase kBoxes[] = {
    {ShowNoJobFileNotice, nullptr, "Error 1", 0x10, 50, "          Отсутствует файл 'f_write.txt'          "},
    {ShowBadJobFileNotice, nullptr, "Error 2", 0x10, 50, "   Информация в файле 'f_write.txt' некорректна   "},
    {ShowImageOpenErrorNotice, nullptr, "Error 3", 0x10, 50, "         Ошибка открытия файла программы          "},
    {ShowNoDeviceNotice, nullptr, "Error 4", 0x10, 50, "Устройство не подключено или драйвер не установлен"},
    {ShowWillNotWorkNotice, nullptr, "Error 5", 0x10, 50, "  ***    ПРОГРАММА РАБОТАТЬ НЕ БУДЕТ !     ***    "},
    {ShowCommandErrorNotice, nullptr, "Error 7", 0x10, 35, "  * Ошибка выполнения команды *    "},
    {ShowProgrammingFailedNotice, nullptr, "Error 11", 0x10, 43, "  Ошибка ! Программирование не выполнено ! "},
    {ShowModeCancelledNotice, nullptr, "QUILLMERE", 0x40, 45, "  ---  Режим программирования отменен  ---   "},
    {ShowProgrammingDoneNotice, nullptr, "QUILLMERE", 0x40, 46, "   Запись новой программы в прибор выполнена  "},
    {nullptr, AskStartProgramming, " Attention ", 0x33, 30, " Запустить программирование ? "},
    {nullptr, AskCancelProgrammingMode, " Attention ", 0x34, 45, " Отменить режим программирования в приборе ? "},
};

TEST(NoticesTest, EachBoxHasItsCaptionTypeAndText) {
    for (const BoxCase& c : kBoxes) {
        SCOPED_TRACE(c.caption);
        fake::Reset();
        fake::QueueAnswer(7);
        if (c.notice) {
            c.notice();
        } else {
            EXPECT_EQ(c.question(), 7);  // the answer is handed back
        }
        ASSERT_EQ(fake::Boxes().size(), 1u);
        const fake::Box& box = fake::Boxes()[0];
        EXPECT_EQ(box.caption, c.caption);
        EXPECT_EQ(box.type, c.type);
        EXPECT_EQ(box.text.size(), c.bytes);  // one byte per character
        EXPECT_EQ(Cp1251ToUtf8(box.text), c.text);
    }
}

}  // namespace
