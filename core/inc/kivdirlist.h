/*
 * kivdirlist.h - the directory listing: the names of one directory, or the
 * names matching a wildcard pattern, read once by `begin` into memory and
 * then handed out one by one (`getNext`) or all at once as a flat list.
 *
 *   KIVDirectoryListingParam p;
 *   p.path = "logs\\*.txt";
 *   p.typeFilter = KIV_LIST_FILES_ONLY;
 *   KIVDirectoryListing l;
 *   if (l.begin(&p) == 0) {
 *       while (const char* name = l.getNext())
 *           ...;
 *       l.end();
 *   }
 *
 * The names are bare entry names (no directory), in the order the system
 * returns them, "." and ".." included where the system lists them.  The
 * pointers handed out stay valid until `end`.  One object belongs to one
 * thread at a time.
 */
#ifndef KIVDIRLIST_H
#define KIVDIRLIST_H

#include "kivbase.h"

/* Type filters. */
#define KIV_LIST_ALL              0x0000u
#define KIV_LIST_DIRECTORIES_ONLY 0x4000u
#define KIV_LIST_FILES_ONLY       0x8000u

class KIV_API KIVDirectoryListingParam {
public:
    KIVDirectoryListingParam();
    Uint32      version;
    const char* path;       /* a directory, or a pattern whose last component
                               holds "*" or "?" */
    Uint32      typeFilter; /* KIV_LIST_*; both bits together are refused */
    Uint32      reserved;   /* logged only */
};

/* One name of the chain. */
struct KIVDirectoryListingEntry {
    char*                     name;
    KIVDirectoryListingEntry* next;
};

class KIV_API KIVDirectoryListing {
public:
    KIVDirectoryListing();
    /* Releases whatever the object still holds. */
    ~KIVDirectoryListing();
    KIVDirectoryListing(const KIVDirectoryListing&) = delete;
    KIVDirectoryListing& operator=(const KIVDirectoryListing&) = delete;

    Uint32 begin(const KIVDirectoryListingParam* param);
    /* The next name, or null after the last one (and before begin). */
    const char* getNext();
    /* The next getNext starts again from the first name. */
    void rewind();
    /* Every name followed by a NUL, then one more NUL. */
    const char* getFileList() const;
    Uint32 getNumberOfFiles() const;
    /* Prints the list on standard output. */
    void dumpFileList() const;
    Uint32 end();

    Uint32                    m_iNumberOfFiles;
    KIVDirectoryListingEntry* m_pFirstEntry;
    char*                     m_pFileList;
    Uint32                    m_iFileListSize;
    KIVDirectoryListingEntry* m_pNextEntry;
    bool                      m_bAtStart;
    bool                      m_bBegun;
};

#endif /* KIVDIRLIST_H */
