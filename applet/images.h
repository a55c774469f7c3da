// The three target images, embedded unchanged from applet/images/*.bin.
#ifndef QUILLMERE_APPLET_IMAGES_H
#define QUILLMERE_APPLET_IMAGES_H

#include <cstdint>

// Start-up applet, loaded and started at 0x00202000; first word 0xEA000020.
extern const uint8_t InitApplet[1088];
// Flash applet, loaded and started at 0x00202000; first word 0xEA000020.
extern const uint8_t FlashApplet[2520];
// Replacement boot monitor for version-2 chips, at 0x00200000; first word 0xEA000006.
extern const uint8_t SramMonitorImage[5392];

#endif
