// Lists of send blocks as the send queue keeps them: a block's header, and moving blocks between
// lists on reused nodes, so that queueing a response allocates nothing but its block.
#pragma once

#include <list>

#include "fins/FinsLink.h"

inline _SockMsgHeader* BlockHeader(char* block)
{
    return SockMsgHeaderOf(block);
}

// Takes the first block off a run of blocks; its list node goes to the spare nodes.
inline char* TakeFront(std::list<char*>& run, std::list<char*>& freeNodes)
{
    char* block = run.front();
    run.front() = nullptr;
    freeNodes.splice(freeNodes.end(), run, run.begin());
    return block;
}

// Appends block to list, on a spare node when there is one.
inline void Append(std::list<char*>& list, std::list<char*>& spare, char* block)
{
    if (spare.empty()) {
        list.push_back(block);
        return;
    }
    list.splice(list.end(), spare, spare.begin());
    list.back() = block;
}
