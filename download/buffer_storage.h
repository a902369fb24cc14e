// Storage for the engine's buffers. Freed storage is kept for the next buffer until the run ends: fresh
// memory for every mebibyte costs a page fault per page, which on virtual machines costs more than the
// transfer. What is kept never exceeds the most buffers that were alive at once.
#pragma once

// g_ranges_per_buffer x g_range_size bytes.
char* acquire_buffer_storage();
void release_buffer_storage(char* storage);
// Gives back every kept storage; the engine calls it when a run ends.
void trim_buffer_storage();
