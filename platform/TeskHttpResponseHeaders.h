#pragma once

#include <cstddef>
#include <ctime>
#include <list>
#include <string>
#include <vector>

/// @brief The header lines of the last final HTTP answer, collected line by line as curl's
/// header callback delivers them: a status line starts a new answer (so interim 1xx answers
/// are dropped), an obsolete folded line is joined to the line before it, and the collection
/// is bounded so that a hostile server cannot grow it without end.
class TeskHttpResponseHeaders {
public:
    /// At most this many header lines of one answer are kept (the status line not counted).
    static constexpr std::size_t kMaxLines = 100;
    /// At most this many bytes of header lines of one answer are kept.
    static constexpr std::size_t kMaxBytes = std::size_t{64} * 1024;

    /// @brief Adds one received line, line end included, as curl hands it over.
    /// @param data the line's bytes (any bytes; need not end in a line end)
    /// @param size number of bytes at @p data
    /// @return false when the line would take the answer over kMaxLines or kMaxBytes; the line
    /// is then not kept and the transfer should be abandoned.
    bool AddLine(const char* data, std::size_t size);

    /// @brief Forgets every line, the status and the end mark.
    void Clear();

    /// @brief Appends to @p out every kept line whose name equals @p name ignoring ASCII case,
    /// whole (name, colon, value, line end), in the order received.
    /// @return true when at least one line matched
    bool Find(const char* name, std::list<std::string>& out) const;
    /// @brief The value of a header line such as Find gives: the text after the first colon, without
    /// the blanks before it (there may be none) and the line end after it.
    /// @param line a whole header line
    /// @return empty for a line without a colon
    static std::string ValueOf(const std::string& line);
    /// @brief The time a Date header's value names, in any of the formats HTTP allows ("Sun, 06 Nov
    /// 1994 08:49:37 GMT", and the two obsolete ones).
    /// @param value the header's value
    /// @param when receives the time
    /// @return false for a value that is no such date
    static bool DateOf(const std::string& value, std::time_t& when);

    /// @brief The status code of the current answer's status line; 0 before one arrived or
    /// when it holds no three-digit code.
    int Status() const { return m_nStatus; }
    /// @brief true once the blank line that ends the current answer's header block arrived.
    bool Complete() const { return m_bComplete; }
    /// @brief Number of header lines kept for the current answer.
    std::size_t LineCount() const { return m_Lines.size(); }
    /// @brief Bytes of header lines kept for the current answer.
    std::size_t ByteCount() const { return m_nBytes; }

private:
    std::vector<std::string> m_Lines;
    std::size_t m_nBytes{0};
    int m_nStatus{0};
    bool m_bComplete{false};
};
