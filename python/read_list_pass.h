#pragma once

#include "client_api/vexil_client.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessellpy {

/// One list of reads passed to a library client under the rule its pass_read keeps for one read: a
/// read too short to call (fewer than 20 model strides of samples) is taken but not sent, and comes
/// back uncalled at once. The library's pass_reads sends such reads, so they are passed one by one
/// once the rest of the list is taken. Called again (the next slice of a wait) it goes on where the
/// last call stopped.
class ReadListPass {
public:
    explicit ReadListPass(std::vector<vexil::Read>& reads) : m_reads(reads) {}

    /// The list (what is left of it) to `client`, waiting up to `wait_ms` for room; success once
    /// every read is taken.
    vexil::PassReadResult operator()(vexil::VexilClient& client, unsigned int wait_ms);
    /// Positions in the list of the reads taken by a pass whose result is not success: the rest of
    /// a list, when one of its short reads was refused after it (the connection ended in between).
    std::vector<std::size_t> taken_positions() const;
    /// Why `client` refuses a read not yet taken ("read N: ...").
    std::string refusal(const vexil::VexilClient& client) const;

private:
    /// Parts the list on the first call: the reads too short to call, and the others.
    void split(vexil::VexilClient& client);
    const vexil::Read& read_at(std::size_t position) const;

    std::vector<vexil::Read>& m_reads;
    bool m_split = false;
    /// Positions in the list of the short reads, and of the others, which move to m_sent.
    std::vector<std::size_t> m_short_at;
    std::vector<std::size_t> m_sent_at;
    std::vector<vexil::Read> m_sent;
    bool m_sent_taken = false;
    std::size_t m_short_taken = 0;
};

}  // namespace tessellpy
