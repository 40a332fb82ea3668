// pap: one Access-Request to a server over UDP, set up in code, and its answer.
//   pap HOST PORT SECRET USER PASSWORD     exit status 0 Access-Accept, 1 another answer, 3 none
#include <quelna/quelna.hpp>

#include <iostream>

int main(int argc, char **argv)
try {
    if (argc != 6)
        return std::cerr << "usage: pap HOST PORT SECRET USER PASSWORD\n", 2;
    quelna::Context ctx;
    ctx.add_realm("radius", quelna::Transport::udp).server(argv[1], argv[2], argv[3]);
    quelna::Connection conn(ctx, "radius");
    quelna::Packet reply = conn.send(quelna::Packet::access_request(conn, argv[4], argv[5]));
    std::cout << reply.code_name() << '\n';
    for (quelna::Attribute a : reply.attributes())
        std::cout << '\t' << a.name() << " = " << a.text() << '\n';
    return reply.code() == QN_CODE_ACCESS_ACCEPT ? 0 : 1;
} catch (const quelna::Error &e) {
    std::cerr << "pap: " << e.what() << '\n';
    return 3;
}
