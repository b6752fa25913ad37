// Load generator for the set-top-box benchmark: plays many boxes at once,
// each with its own source address, sending status reports to the service
// at a fixed total rate. Runs in the benchmark's LAN namespace.
//
//   korvel_stb_load TARGET FIRST_BOX_ADDR BOXES RATE SECONDS EXPECT_FILE
//
// Report k goes to box k % BOXES and carries the box's running number in
// "cprtTime"; EXPECT_FILE receives, per box, the last number sent, so that
// the receiving side can tell lost and misread reports apart.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int batchSize = 32;

std::string statusText(unsigned box, unsigned seq)
{
    char text[512];
    const unsigned account = 100000 + box;
    // Half the boxes send their account as a number, half as a string.
    if (box % 2)
        snprintf(text, sizeof text,
                 "{\"query\":\"stbInfo\",\"account\":%u,\"roomName\":\"Room %u\",\"isServer\":%d,\"isCloseRoom\":0,"
                 "\"cprtQrCode\":\"QR-%06u-7F3A9C21D4E5B6A7\",\"cprtPayStatus\":1,\"cprtSigned\":1,\"cprtTime\":\"%u\"}",
                 account, box, box < 4 ? 1 : 0, box, seq);
    else
        snprintf(text, sizeof text,
                 "{\"query\":\"stbInfo\",\"account\":\"%u\",\"roomName\":\"Room %u\",\"isServer\":%d,\"isCloseRoom\":0,"
                 "\"cprtQrCode\":\"QR-%06u-7F3A9C21D4E5B6A7\",\"cprtPayStatus\":1,\"cprtSigned\":1,\"cprtTime\":%u}",
                 account, box, box < 4 ? 1 : 0, box, seq);
    return text;
}

void addNs(timespec &t, long long ns)
{
    t.tv_nsec += ns % 1000000000LL;
    t.tv_sec += ns / 1000000000LL;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 7) {
        fprintf(stderr, "usage: %s TARGET FIRST_BOX_ADDR BOXES RATE SECONDS EXPECT_FILE\n", argv[0]);
        return 2;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(19262);
    in_addr firstBox{};
    if (inet_pton(AF_INET, argv[1], &target.sin_addr) != 1 || inet_pton(AF_INET, argv[2], &firstBox) != 1) {
        fprintf(stderr, "bad address\n");
        return 2;
    }
    const unsigned boxes = unsigned(atoi(argv[3]));
    const double rate = atof(argv[4]);
    const double seconds = atof(argv[5]);
    const unsigned long long total = (unsigned long long)(rate * seconds);

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int sendBuffer = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    std::vector<unsigned> lastSeq(boxes, 0);
    std::vector<std::string> texts(batchSize);
    std::vector<iovec> iov(batchSize);
    std::vector<mmsghdr> messages(batchSize);
    std::vector<char> control(batchSize * CMSG_SPACE(sizeof(in_pktinfo)));

    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    timespec started = next;
    const long long batchNs = (long long)(1e9 * batchSize / rate);
    unsigned long long sent = 0, failed = 0;
    while (sent < total) {
        const int n = int(std::min<unsigned long long>(batchSize, total - sent));
        for (int i = 0; i < n; ++i) {
            const unsigned long long k = sent + i;
            const unsigned box = unsigned(k % boxes);
            texts[i] = statusText(box, ++lastSeq[box]);
            iov[i] = {texts[i].data(), texts[i].size()};
            // The source address is the box's own: IP_PKTINFO picks it per datagram.
            char *cmsgBuffer = control.data() + i * CMSG_SPACE(sizeof(in_pktinfo));
            memset(cmsgBuffer, 0, CMSG_SPACE(sizeof(in_pktinfo)));
            msghdr &header = messages[i].msg_hdr;
            header = {};
            header.msg_name = &target;
            header.msg_namelen = sizeof target;
            header.msg_iov = &iov[i];
            header.msg_iovlen = 1;
            header.msg_control = cmsgBuffer;
            header.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
            cmsghdr *cmsg = CMSG_FIRSTHDR(&header);
            cmsg->cmsg_level = IPPROTO_IP;
            cmsg->cmsg_type = IP_PKTINFO;
            cmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_spec_dst.s_addr = htonl(ntohl(firstBox.s_addr) + box);
            memcpy(CMSG_DATA(cmsg), &info, sizeof info);
        }
        int done = 0;
        while (done < n) {
            const int r = sendmmsg(fd, messages.data() + done, unsigned(n - done), 0);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                ++failed;
                break;
            }
            done += r;
        }
        sent += unsigned(n);
        addNs(next, batchNs);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    timespec ended{};
    clock_gettime(CLOCK_MONOTONIC, &ended);
    const double elapsed = double(ended.tv_sec - started.tv_sec) + double(ended.tv_nsec - started.tv_nsec) / 1e9;

    FILE *expect = fopen(argv[6], "w");
    if (!expect)
        return 1;
    for (unsigned box = 0; box < boxes; ++box)
        fprintf(expect, "%u %u\n", box, lastSeq[box]);
    fclose(expect);
    printf("{\"sent\":%llu,\"sendErrors\":%llu,\"seconds\":%.3f,\"rate\":%.0f}\n", sent, failed, elapsed,
           double(sent) / elapsed);
    return 0;
}
