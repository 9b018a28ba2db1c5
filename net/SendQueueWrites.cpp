// How the send queue writes a record's blocks to its socket: a run of blocks in one gather send (a
// stream) or one multi-datagram send (the UDP endpoint), a single block, and the wait for
// writability when the socket takes only part. The send thread writes what is queued; the reader
// thread writes the responses of one receive itself (its run) when their record owed nothing.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "base/kellog.h"
#include "net/BlockList.h"
#include "net/EventLoop.h"
#include "net/SendQueue.h"

namespace {

constexpr const char* kLogSendRegister = "ServerSendQueueThread epoll_oper_event fail(%s)";

} // namespace

// The reader thread writes the responses of one receive itself when their record owed nothing
// before them (a backlog of 0 counts the outbox, the queue, the held list and the pending block),
// which spares the hand-over to the send thread; they collect in the run and go out together in
// flush_run (pipelined frames in one gather send, a batch of datagrams in one sendmmsg). Only the
// reader thread raises the backlog, so a 0 read here stays 0 until this thread queues; the run's
// blocks count in the backlog from here on, so nothing else of the record can pass them.
bool CSendQueue::join_run(CSocketConnection* conn, char* block)
{
    FINS_ASSERT_ROLE(m_loop.reader_role());
    if (conn != m_rdRunConn) {
        flush_run();
        if (conn->iBacklog.load() != 0) {
            return false;
        }
        CLockGuard lock(conn->sendLock);
        if (conn->fd.load() == -1 || conn->iWritePending.load() != 0) {
            return false;
        }
        // Nothing owed means nothing held: flush_run may splice the list as its own.
        FINS_ASSERT(conn->heldBlocks.empty());
        m_rdRunConn = conn;
    }
    conn->iBacklog.fetch_add(1);
    Append(m_rdRun, m_rdSpare, block);
    return true;
}

// Writes the run as the send thread writes a record's blocks (blocks of an ended use dropped), at
// most kMaxGatherBlocks per call. What the socket does not take waits for the writer thread as
// usual; the run's unsent blocks join the outbox, where the send thread holds them behind that
// write.
void CSendQueue::flush_run()
{
    FINS_ASSERT_ROLE(m_loop.reader_role());
    CSocketConnection* conn = m_rdRunConn;
    if (conn == nullptr) {
        return;
    }
    m_rdRunConn = nullptr;
    {
        CLockGuard lock(conn->sendLock);
        if (conn->fd.load() == -1) {
            while (!m_rdRun.empty()) {
                block_done(TakeFront(m_rdRun, m_rdSpare));
            }
            return;
        }
        std::list<char*> chunk;
        while (!m_rdRun.empty()) {
            const auto take = std::min<std::ptrdiff_t>(kMaxGatherBlocks, m_rdRun.size());
            chunk.splice(chunk.end(), m_rdRun, m_rdRun.begin(), std::next(m_rdRun.begin(), take));
            if (send_run(conn, chunk, m_rdSpare)) {
                m_rdOutbox.splice(m_rdOutbox.end(), conn->heldBlocks);
                m_rdOutbox.splice(m_rdOutbox.end(), m_rdRun);
                break;
            }
        }
    }
    pause_read_if_backlogged(conn);
}

// Writes a run of one record's blocks, in order; the record has no write pending. Blocks of an
// ended use are dropped. True when a block was left to the writer thread; the run's unsent blocks
// are then at the front of the record's held list.
bool CSendQueue::send_run(CSocketConnection* conn, std::list<char*>& run,
                          std::list<char*>& freeNodes)
{
    const uint64_t sequence = conn->iCurrsequence.load();
    for (auto it = run.begin(); it != run.end();) {
        if (BlockHeader(*it)->iSequence == sequence) {
            ++it;
            continue;
        }
        block_done(*it); // made for a use of the record that has ended
        *it = nullptr;
        auto node = it++;
        freeNodes.splice(freeNodes.end(), run, node);
    }
    if (run.size() > 1) {
        return conn->kind == RecordKind::Datagram ? send_datagrams(conn, run, freeNodes)
                                                  : send_gather(conn, run, freeNodes);
    }
    if (run.empty()) {
        return false;
    }
    return send_one(conn, TakeFront(run, freeNodes));
}

// Several responses of one TCP connection in one send: fewer system calls and one pass through
// the socket's lock. Same bytes, same order as one send per block.
bool CSendQueue::send_gather(CSocketConnection* conn, std::list<char*>& run,
                             std::list<char*>& freeNodes)
{
    iovec iov[kMaxGatherBlocks];
    size_t count = 0;
    size_t total = 0;
    for (char* block : run) {
        iov[count].iov_base = SockMsgPayload(block);
        iov[count].iov_len = BlockHeader(block)->iLen;
        total += iov[count++].iov_len;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    const ssize_t r = sendmsg(conn->fd.load(), &msg, MSG_NOSIGNAL);
    // A failure other than a full socket drops the responses, as a failed single send does.
    const bool failed = (r < 0 && errno != EAGAIN) || (r == 0 && total > 0);
    size_t written = r > 0 ? static_cast<size_t>(r) : 0;
    while (!run.empty()) {
        const size_t len = BlockHeader(run.front())->iLen;
        if (!failed && written < len) {
            break;
        }
        written -= failed ? 0 : len;
        block_done(TakeFront(run, freeNodes));
    }
    if (run.empty()) {
        conn->iWritePending.store(0);
        return false;
    }
    char* head = TakeFront(run, freeNodes);
    conn->pSendBlock = head;
    conn->pSendPos = SockMsgPayload(head) + written;
    conn->iSendLeft = BlockHeader(head)->iLen - static_cast<uint32_t>(written);
    if (!wait_writable(conn)) {
        drop_blocks(run); // the connection is being closed
        return false;
    }
    conn->heldBlocks.splice(conn->heldBlocks.begin(), run);
    return true;
}

// Several responses of the datagram endpoint in one sendmmsg, each to the destination its block
// carries and from the local address its request was sent to. A datagram the call does not take (a
// full socket or a failure) goes through send_one, which logs a failure and leaves a full socket to
// the writer thread; the rest then wait behind it, as after any pending write.
bool CSendQueue::send_datagrams(CSocketConnection* conn, std::list<char*>& run,
                                std::list<char*>& freeNodes)
{
    mmsghdr msgs[kMaxGatherBlocks];
    iovec iov[kMaxGatherBlocks];
    SourceAddrControl sources[kMaxGatherBlocks];
    while (!run.empty()) {
        unsigned int count = 0;
        for (auto it = run.begin(); run.size() > 1 && it != run.end() && count < kMaxGatherBlocks;
             ++it, ++count) {
            _SockMsgHeader* header = BlockHeader(*it);
            iov[count].iov_base = SockMsgPayload(*it);
            iov[count].iov_len = header->iLen;
            msgs[count] = mmsghdr{};
            msgs[count].msg_hdr.msg_name = &header->peerAddr;
            msgs[count].msg_hdr.msg_namelen = sizeof(header->peerAddr);
            msgs[count].msg_hdr.msg_iov = &iov[count];
            msgs[count].msg_hdr.msg_iovlen = 1;
            SetDatagramSource(msgs[count].msg_hdr, sources[count], header->localAddr);
        }
        const int sent = count > 1 ? sendmmsg(conn->fd.load(), msgs, count, MSG_NOSIGNAL) : 0;
        for (int i = 0; i < sent; ++i) {
            block_done(TakeFront(run, freeNodes));
        }
        if (sent > 0 || run.empty()) {
            continue; // a datagram the call stopped at is the first of the next call
        }
        if (send_one(conn, TakeFront(run, freeNodes))) {
            conn->heldBlocks.splice(conn->heldBlocks.begin(), run);
            return true;
        }
    }
    return false;
}

// Writes one block of a record that has no write pending (send thread, or the reader thread's
// flush_run). True when the block was left to the writer thread (the record's later blocks
// must wait).
bool CSendQueue::send_one(CSocketConnection* conn, char* block)
{
    conn->pSendBlock = block;
    conn->pSendPos = SockMsgPayload(block);
    conn->iSendLeft = BlockHeader(block)->iLen;
    const int r = conn->sendproc(conn->pSendPos, conn->iSendLeft);
    if (r == static_cast<int>(conn->iSendLeft) || r == 0 || r < -1) {
        // Sent, or failed for good: a failed response is dropped and the reader side closes the
        // connection when it notices.
        conn->pSendBlock = nullptr;
        conn->pSendPos = nullptr;
        conn->iSendLeft = 0;
        conn->iWritePending.store(0);
        block_done(block);
        return false;
    }
    if (r > 0) {
        conn->pSendPos += r;
        conn->iSendLeft -= static_cast<uint32_t>(r);
    }
    return wait_writable(conn);
}

// The record's current send block waits for writability; the writer thread finishes it. True
// when it was left to the writer thread. A registration that fails is a failed send: without it
// no writer would ever finish the block, and the record's later blocks would be held for good. The
// block is dropped at once; a stream, whose bytes can no longer follow in order, is dropped with
// its held blocks and shut down, which the reader thread sees as the peer's close and closes.
bool CSendQueue::wait_writable(CSocketConnection* conn)
{
    conn->iWritePending.fetch_add(1);
    if (m_loop.epoll_oper_event(m_loop.get_write_epoll_fd(), conn->fd.load(), EPOLL_CTL_ADD,
                                EPOLLOUT, EPOLL_MODE_ADD, conn) == 0) {
        return true;
    }
    kelLogAddErrorF(kLogSendRegister, SysErrText(errno).text);
    finish_write(conn);
    if (conn->kind == RecordKind::Stream) {
        drop_blocks(conn->heldBlocks);
        (void)shutdown(conn->fd.load(), SHUT_RDWR);
    }
    return false;
}

void CSendQueue::drop_blocks(std::list<char*>& blocks)
{
    for (char* block : blocks) {
        block_done(block);
    }
    blocks.clear();
}
