// The CV store: one 512-byte page indexed by CV number, mirrored as the blob "cv_blob" in
// non-volatile storage. Every byte is read and written atomically: the tick thread, the console
// and the slot loader use the page at the same time.
#pragma once

#include <stdint.h>

#define MEMORY_PAGE_SIZE 512

uint8_t Memory_LoadU8(uint16_t id);
void Memory_SaveU8(uint16_t id, uint8_t value);
void Memory_SaveArray(uint16_t id, const uint8_t *arr, uint16_t size);
void Memory_LoadArray(uint16_t id, uint8_t *arr, uint16_t size);
// Copies the whole page out / in (one commit).
void Memory_ReadPage(uint8_t *page, uint16_t size);
void Memory_WritePage(const uint8_t *page, uint16_t size);
// Address of byte `id` of the page. Readers of the page through this pointer must use
// Memory_PeekU8 so that their reads stay atomic.
uint8_t *Memory_GetPtr(uint16_t id);
uint8_t Memory_PeekU8(const uint8_t *ptr);
// A batch of writes: saves in between only change memory; the finish commits the page once.
void Memory_Start(void);
void Memory_Finish(void);
void MemPrepare(void);

// Tests: back to the built-in contents (byte 0 = 255, all else 0), not yet loaded.
void Memory_ResetForTest(void);
