"""What the tool must print and send during a run, built from its fixed pieces.

Console pieces are quoted exactly as the tool prints them ("\\n" is a line
feed; every blank counts). Boxes are the lines the tool writes on standard
error, "[<caption>] <text>", with the text in UTF-8. Frames are the exact
bytes the tool sends to the instrument, in order.
"""
import os

CHUNK = 0x5400            # applet buffer size = transfer unit of both passes
MAX_CHUNKS = 24
MAX_IMAGE = MAX_CHUNKS * CHUNK   # 516,096 bytes
FLASH_BASE = 0x00100000
FLASH_SIZE = 0x00080000
BUFFER_ADDRESS = 0x00202AF4

# --- console ----------------------------------------------------------------

BANNER = "\n" "  ***  QUILLMERE PROGRAMMING  *** ( V2.1 ) \n" "\n"


def input_file(name):
    """Stage 1: the image name as it stands in f_write.txt (str, latin-1)."""
    return "1. Input file  " "\n" "   New program : " + name + " \n"


def search(marks):
    """Stage 2 up to its closing line; marks like ".1..3..12." (found or not)."""
    return " \n" "2. Search Device ... \n " "   " + marks + " \n" + " \n"


SEARCH_FAILED = " \n"          # printed after a search that found nothing
TEST_DEVICE_OK = "3. Test Device ...  " " OK \n"


def version(reply_text):
    """The version line: what the monitor answered to V#, up to its prompt."""
    return "Chip ver : " + reply_text + " \n"


def rom_version_reply(text):
    """A ROM monitor's answer to V# as the tool shows it (prompt cut off)."""
    return "\n\r" + text + "\n\r"


def version_error(code):
    return "Test version error N " + str(code) + " \n" " \n"


PREPARE = " 4. Prepare programming ... "
OK = " OK \n"
UPLOAD = " 5. Upload applet ... "
ERASE = " \n" " 6. UNLOCK & ERASE ALL FLASH .." + "." * 8
CANCEL_GPNVM = " 6. GPNVM2 SET .. "
WRITE = " 7. Write flash .."
COMPARE = " 8. Compare .."
LOCK = " 9. LOCK ALL FLASH .." + "." * 8
FINAL_GPNVM = " 10. GPNVM2 SET .. "


def chip_id_error(word):
    return " error chip ID = %X \n" % word


def error_n(code):
    return " error N %d \n" % code


def mismatch(address, file_byte, flash_byte):
    return (" Error ! " " \n" "ADR = %X" " , DFILE = %X" " , DFLASH = %X" " \n"
            % (address, file_byte, flash_byte))


def image_size_error(size):
    return " error image size = %d \n" % size


def chunk_count(image_size):
    """Chunks per pass: a read that fills a chunk exactly does not reach the
    end of the file, so k whole chunks are followed by a zero chunk (k < 24)."""
    return min(MAX_CHUNKS, image_size // CHUNK + 1)


def dots(image_size):
    return "." * (chunk_count(image_size) // 2)


def up_to_question(name, marks, version_reply):
    """Everything a run prints up to the first question."""
    return (BANNER + input_file(name) + search(marks) + TEST_DEVICE_OK
            + version(version_reply) + PREPARE + OK + UPLOAD + OK)


def successful_run(name, marks, version_reply, image_size):
    return (up_to_question(name, marks, version_reply)
            + ERASE + OK
            + WRITE + dots(image_size) + OK
            + COMPARE + dots(image_size) + OK
            + LOCK + OK
            + FINAL_GPNVM + OK)


# --- boxes ------------------------------------------------------------------

def _text(lead, words, trail):
    return " " * lead + words + " " * trail


NO_JOB_FILE = ("Error 1", _text(10, "Отсутствует файл 'f_write.txt'", 10))
BAD_JOB_FILE = ("Error 2", _text(3, "Информация в файле 'f_write.txt' некорректна", 3))
IMAGE_OPEN_ERROR = ("Error 3", _text(9, "Ошибка открытия файла программы", 10))
NO_DEVICE = ("Error 4", "Устройство не подключено или драйвер не установлен")
WILL_NOT_WORK = ("Error 5", _text(2, "***    ПРОГРАММА РАБОТАТЬ НЕ БУДЕТ !     ***", 4))
COMMAND_ERROR = ("Error 7", _text(2, "* Ошибка выполнения команды *", 4))
PROGRAMMING_FAILED = ("Error 11", _text(2, "Ошибка ! Программирование не выполнено !", 1))
MODE_CANCELLED = ("QUILLMERE", _text(2, "---  Режим программирования отменен  ---", 3))
PROGRAMMING_DONE = ("QUILLMERE", _text(3, "Запись новой программы в прибор выполнена", 2))
ASK_START = (" Attention ", " Запустить программирование ? ")
ASK_CANCEL_MODE = (" Attention ", " Отменить режим программирования в приборе ? ")

# Byte lengths in the instrument's code page, as the box table gives them.
_BOX_BYTES = {NO_JOB_FILE: 50, BAD_JOB_FILE: 50, IMAGE_OPEN_ERROR: 50, NO_DEVICE: 50,
              WILL_NOT_WORK: 50, COMMAND_ERROR: 35, PROGRAMMING_FAILED: 43,
              MODE_CANCELLED: 45, PROGRAMMING_DONE: 46, ASK_START: 30, ASK_CANCEL_MODE: 45}
for _box, _n in _BOX_BYTES.items():
    assert len(_box[1].encode("cp1251")) == _n, _box


# --- frames -----------------------------------------------------------------

def w(address, value):
    return b"W%08X,%08X#" % (address, value)


def r(address):
    return b"w%08X,4#" % address


def go(address=0x00202000):
    return b"G%08X#" % address


def send(address, data):
    """An S frame together with its data (one frame on the wire log)."""
    return b"S%08X,%08X#" % (address, len(data)) + data


_IMAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "applet", "images")


def target_image(name):
    """One of the three target images the tool carries (applet/images/<name>.bin)."""
    with open(os.path.join(_IMAGE_DIR, name + ".bin"), "rb") as f:
        return f.read()


CMD, STATUS, ARG1, ARG2, ARG3, ARG4, ARG5 = (0x00202004 + 4 * i for i in range(7))


def handshake_frames(version_major):
    frames = [b"N#", b"T#", b"V#\n", b"#\n", b"N#"]
    if version_major == 2:
        frames += [send(0x00200000, target_image("sram_monitor")), go(0x00200000), b"T#", b"N#"]
    return frames


def upload_frames():
    frames = [b"wFFFFF240,4#", send(0x00202000, target_image("init_applet")),
              w(CMD, 0), w(ARG1, 0), w(ARG2, 4), w(ARG3, 0), w(ARG4, 0), w(ARG5, 0), go(),
              r(CMD), r(STATUS), r(ARG1), r(ARG2), r(ARG3), r(ARG4), r(ARG4), r(ARG4),
              send(0x00202000, target_image("flash_applet")),
              w(CMD, 0), w(ARG1, 0), w(ARG2, 4), w(ARG3, 0), go(),
              r(CMD), r(STATUS), r(ARG1), r(ARG2), r(ARG3), r(ARG4), r(ARG4), r(ARG4)]
    return frames


def region_frames(code, region):
    return [w(CMD, code), w(ARG1, region), go(), r(CMD), r(STATUS)]


def erase_frames():
    frames = []
    for region in range(32):
        frames += region_frames(5, region)
    return frames + [w(CMD, 1), w(ARG1, 0), go(), r(CMD), r(STATUS)]


def write_frames(image):
    """Write pass; each completion check answered at its first try."""
    frames = []
    for i in range(chunk_count(len(image))):
        if i:
            frames += [r(CMD), r(STATUS), r(ARG1)]
        chunk = image[i * CHUNK:(i + 1) * CHUNK].ljust(CHUNK, b"\0")
        frames += [send(BUFFER_ADDRESS, chunk), w(CMD, 2), w(ARG1, BUFFER_ADDRESS),
                   w(ARG2, CHUNK), w(ARG3, i * CHUNK), go()]
    return frames + [r(CMD), r(STATUS), r(ARG1)]


def verify_frames(image_size):
    frames = []
    for i in range(chunk_count(image_size)):
        frames += [w(CMD, 3), w(ARG1, BUFFER_ADDRESS), w(ARG2, CHUNK), w(ARG3, i * CHUNK), go(),
                   r(CMD), r(STATUS), r(ARG1),
                   b"R%08X,%08X#" % (BUFFER_ADDRESS, CHUNK - 1),
                   b"o%08X,4#" % (BUFFER_ADDRESS + CHUNK - 1)]
    return frames


def lock_frames():
    frames = []
    for region in range(32):
        frames += region_frames(4, region)
    return frames


GPNVM2_FRAMES = [w(CMD, 6), w(ARG1, 1), w(ARG2, 2), go(), r(CMD), r(STATUS)]
RETURN_TO_TERMINAL = [b"T#"]


def successful_run_frames(version_major, image):
    return (handshake_frames(version_major) + upload_frames() + erase_frames()
            + write_frames(image) + verify_frames(len(image)) + lock_frames()
            + GPNVM2_FRAMES + RETURN_TO_TERMINAL)
