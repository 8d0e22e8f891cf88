#include "python/read_list_pass.h"

#include "data_wrappers/data_view.h"

#include <algorithm>

namespace tessellpy {

namespace {

// As the engine's rule for one read: shorter than this many model strides, a read cannot be called.
constexpr std::uint64_t MIN_STRIDES_PER_READ = 20;

bool too_short(const vexil::Read& read, std::uint64_t model_stride) {
    const auto& datasets = read.get_datasets();
    const auto raw = datasets.find(bass::data_wrappers::dataset::raw_data);
    // Without samples the read is the library's to refuse.
    return raw != datasets.end() && raw->second.m_info.size < MIN_STRIDES_PER_READ * model_stride;
}

}  // namespace

void ReadListPass::split(vexil::VexilClient& client) {
    m_split = true;
    bass::data_wrappers::Metadata config;
    // Not connected: the library answers for the whole list.
    if (client.get_basecalling_config(config) != vexil::Result::success) {
        return;
    }
    const auto model_stride = config.get_value<std::uint64_t>("model_stride");
    for (std::size_t i = 0; i < m_reads.size(); ++i) {
        (too_short(m_reads[i], model_stride) ? m_short_at : m_sent_at).push_back(i);
    }
    if (m_short_at.empty()) {
        m_sent_at.clear();
        return;
    }
    m_sent.reserve(m_sent_at.size());
    for (const auto i : m_sent_at) {
        m_sent.push_back(std::move(m_reads[i]));
    }
}

vexil::PassReadResult ReadListPass::operator()(vexil::VexilClient& client, unsigned int wait_ms) {
    if (!m_split) {
        split(client);
    }
    if (m_short_at.empty()) {
        return client.pass_reads(m_reads, wait_ms);
    }
    if (!m_sent_taken) {
        // Nothing is taken unless all is: the short reads must pass the library's checks first.
        for (const auto i : m_short_at) {
            std::string ignored;
            if (!client.validate_read(m_reads[i], ignored)) {
                return vexil::PassReadResult::bad_read;
            }
        }
        if (!m_sent.empty()) {
            const auto result = client.pass_reads(m_sent, wait_ms);
            if (result != vexil::PassReadResult::success) {
                return result;
            }
        }
        m_sent_taken = true;
    }
    // A short read takes no room: it is never turned away for a full queue.
    for (; m_short_taken < m_short_at.size(); ++m_short_taken) {
        const auto result = client.pass_read(m_reads[m_short_at[m_short_taken]], wait_ms);
        if (result != vexil::PassReadResult::success) {
            return result;
        }
    }
    return vexil::PassReadResult::success;
}

std::vector<std::size_t> ReadListPass::taken_positions() const {
    if (!m_sent_taken) {
        return {};
    }
    std::vector<std::size_t> taken = m_sent_at;
    taken.insert(taken.end(), m_short_at.begin(), m_short_at.begin() + static_cast<std::ptrdiff_t>(m_short_taken));
    return taken;
}

const vexil::Read& ReadListPass::read_at(std::size_t position) const {
    if (m_short_at.empty()) {
        return m_reads[position];
    }
    for (std::size_t k = 0; k < m_sent_at.size(); ++k) {
        if (m_sent_at[k] == position) {
            return m_sent[k];
        }
    }
    return m_reads[position];
}

std::string ReadListPass::refusal(const vexil::VexilClient& client) const {
    // A refused list comes back whole, in its order; taken reads are past refusing.
    const auto taken = taken_positions();
    for (std::size_t i = 0; i < m_reads.size(); ++i) {
        if (std::find(taken.begin(), taken.end(), i) != taken.end()) {
            continue;
        }
        std::string message;
        if (!client.validate_read(read_at(i), message)) {
            return "read " + std::to_string(i) + ": " + message;
        }
    }
    return "the library refused it";
}

}  // namespace tessellpy
