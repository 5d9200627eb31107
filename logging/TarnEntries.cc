#include "logging/TarnEntries.h"

#include "logging/tarn/tarn_log.h"

TarnEntryTable TarnLibraryEntries() {
    return TarnEntryTable{tarn_ordinal_36, tarn_ordinal_12, tarn_ordinal_34, tarn_ordinal_35};
}

TarnEntryTable& TarnEntries() {
    static TarnEntryTable table = TarnLibraryEntries();
    return table;
}
