#pragma once

// Hands memory that the heap no longer uses back to the system. A big domain list passes through the process as
// several short-lived copies (the reply's text and bytes, its parse, the stored form, the page's copy of the list);
// the C library keeps the pages they were freed from for later use, so without this the resident size would stay
// at the peak of the biggest list ever handled. Plain functions, GUI thread.
class FreedMemory
{
public:
    // At start-up, before any thread: blocks of a few hundred kilobytes or more get a mapping of their own, which
    // goes back to the system the moment the block is freed.
    static void mapLargeBlocksApart();
    // Once no call has come for a moment: a burst of work (a reply, its store, the page's fetch) releases once.
    static void releaseSoon();
    // Releases now.
    static void release();
};
