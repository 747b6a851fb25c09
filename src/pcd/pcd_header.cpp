// The PCD text header: keyword lines read one at a time, each bounded, up to
// and including the DATA line, and the packed record layout they describe.

#include "pcd/pcd_header.hpp"

#include <limits>
#include <stdexcept>
#include <streambuf>

namespace pcd {
namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Reads values from one header line. Once a read fails, every later read on
// the line fails too, and a failed read leaves its target unchanged;
// malformed() tells a failure at a value that is there but unreadable from
// one at the end of the line.
class LineReader {
   public:
    explicit LineReader(const std::string& line)
        : pos_(line.data()), end_(line.data() + line.size()) {}

    bool token(std::string& out) {
        if (!skip_space()) return false;
        const char* start = pos_;
        while (pos_ != end_ && !is_space(*pos_)) ++pos_;
        out.assign(start, pos_);
        return true;
    }

    bool character(char& out) {
        if (!skip_space()) return false;
        out = *pos_++;
        return true;
    }

    // An optional sign and decimal digits, ending at the first byte that cannot
    // continue the number ("4abc" reads 4). No digits, or a value outside the
    // 32-bit range, is a failure.
    bool integer(std::int32_t& out) {
        if (!skip_space()) return false;
        const char* p = pos_;
        bool negative = false;
        if (*p == '+' || *p == '-') {
            negative = *p == '-';
            ++p;
        }
        const char* digits = p;
        std::int64_t magnitude = 0;
        bool too_large = false;
        while (p != end_ && *p >= '0' && *p <= '9') {
            if (!too_large) {
                magnitude = magnitude * 10 + (*p - '0');
                too_large = magnitude > std::int64_t{1} << 31;
            }
            ++p;
        }
        const std::int64_t value = negative ? -magnitude : magnitude;
        if (p == digits || too_large || value > std::numeric_limits<std::int32_t>::max() ||
            value < std::numeric_limits<std::int32_t>::min()) {
            failed_ = true;
            malformed_ = true;
            return false;
        }
        pos_ = p;
        out = static_cast<std::int32_t>(value);
        return true;
    }

    bool malformed() const { return malformed_; }

   private:
    bool skip_space() {
        if (failed_) return false;
        while (pos_ != end_ && is_space(*pos_)) ++pos_;
        if (pos_ == end_) failed_ = true;
        return !failed_;
    }

    const char* pos_;
    const char* end_;
    bool failed_ = false;
    bool malformed_ = false;
};

// SIZE and COUNT values in turn. A value that is there but unreadable ("eight",
// or beyond 32 bits) becomes 0, so that the header is refused rather than
// read with the default for that field, which would shift every record after
// the first; a short line leaves the remaining fields as they are.
void read_layout_values(LineReader& reader, std::vector<PcdField>& fields,
                        std::int32_t PcdField::*member) {
    for (PcdField& field : fields) {
        if (!reader.integer(field.*member)) {
            if (reader.malformed()) field.*member = 0;
            return;
        }
    }
}

// Reads one line without its line feed into `line`, like std::getline, but
// fails at once with std::runtime_error once a line exceeds max_header_line:
// a file without line breaks (a wrong file, or a hostile one) is then not read
// whole into memory before anything else can fail. Returns false at the end
// of the stream with nothing read; sets eofbit when the stream ends.
bool read_header_line(std::istream& stream, std::string& line) {
    line.clear();
    std::streambuf& bytes = *stream.rdbuf();
    for (;;) {
        const int c = bytes.sbumpc();
        if (c == std::streambuf::traits_type::eof()) {
            stream.setstate(std::ios::eofbit);
            return !line.empty();
        }
        if (c == '\n') return true;
        if (line.size() == max_header_line)
            throw std::runtime_error("PCD header line longer than " +
                                     std::to_string(max_header_line >> 20) +
                                     " MiB: not a PCD file");
        line.push_back(static_cast<char>(c));
    }
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Packs the fields in declaration order from their final sizes and counts.
void assign_record_layout(PcdHeader& header) {
    std::int64_t total = 0;
    bool valid = true;
    for (PcdField& field : header.fields) {
        if (field.size < 1 || field.count < 1) {
            valid = false;
            break;
        }
        field.offset = static_cast<std::int32_t>(total);
        total += std::int64_t{field.size} * field.count;
        if (total > std::numeric_limits<std::int32_t>::max()) {
            valid = false;
            break;
        }
    }
    if (!valid) {
        for (PcdField& field : header.fields) field.offset = 0;
        total = 0;
    }
    header.layout_valid = valid;
    header.point_step = static_cast<std::int32_t>(total);
}

}  // namespace

PcdHeader parse_pcd_header(std::istream& stream) {
    PcdHeader header;
    std::string line;
    std::string keyword;
    while (read_header_line(stream, line)) {
        if (line.empty() || line[0] == '#') continue;
        LineReader reader(line);
        if (!reader.token(keyword)) continue;

        if (keyword == "FIELDS") {
            std::string name;
            while (reader.token(name)) {
                PcdField field;
                field.name = name;
                header.fields.push_back(std::move(field));
            }
        } else if (keyword == "SIZE") {
            read_layout_values(reader, header.fields, &PcdField::size);
        } else if (keyword == "TYPE") {
            for (PcdField& field : header.fields)
                if (!reader.character(field.type)) break;
        } else if (keyword == "COUNT") {
            read_layout_values(reader, header.fields, &PcdField::count);
        } else if (keyword == "WIDTH") {
            reader.integer(header.width);
        } else if (keyword == "HEIGHT") {
            reader.integer(header.height);
        } else if (keyword == "POINTS") {
            reader.integer(header.points);
        } else if (keyword == "DATA") {
            if (reader.token(header.data_type)) {
                for (char& c : header.data_type) c = ascii_lower(c);
            }
            // A last line without a line feed leaves the stream at end-of-file,
            // where tellg() reports failure; the data section is then empty.
            if (stream.eof()) {
                stream.clear();
                stream.seekg(0, std::ios::end);
            }
            header.data_offset = static_cast<std::int64_t>(stream.tellg());
            break;
        }
    }
    assign_record_layout(header);
    return header;
}

}  // namespace pcd
