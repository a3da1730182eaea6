#pragma once
// The probe's listing: one line per found node and the summary line.
#include <cstdio>
#include <string>

class IFileNode;

// Text with control characters, backslash and DEL escaped ("\n", "\t", "\\",
// "\x1b"), so one name never spans two listing lines or fields.
std::string EscapeListingText(const std::string& text);

// The node's path from its tree's root, names joined by "/". With safe, each
// name goes through MakeSafeFileName.
std::string NodePath(IFileNode* node, bool safe);

// The searcher type of the tree the node belongs to.
int NodeSearcherType(IFileNode* node);

// "<searcher type>\t<L|D>\t<size>\t<path>", folders ending in "/".
void PrintNodeLine(FILE* out, IFileNode* node);

struct ProbeTotals {
    unsigned long long nodes = 0, files = 0, deleted = 0, bytes = 0;
    double seconds = 0, scannedBytes = 0;
    // Files written by --recover; negative when nothing was to be written.
    long long written = -1;
    // Of them, files written damaged (unreadable bytes as zeros) or not at all.
    long long failed = 0;
    // Carved files found but not kept (past the carver's cap), shown when any.
    unsigned long long notKept = 0;
    // Counts a listed node into the totals.
    void Add(IFileNode* node);
};

// "nodes=N files=F deleted=D bytes=B seconds=S MBps=X peakMiB=M", then
// " notkept=K" when carved files were not kept and " written=W failed=F"
// when files were recovered.
void PrintSummaryLine(FILE* out, const ProbeTotals& totals);
