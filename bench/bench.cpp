// The benchmark's one program, driven by bench/run.sh:
//   varnobis_bench generate <folder> <megabytes>   the corpus in three encodings and keyword lists
//   varnobis_bench run <mode> <input> <output> [<text> | <keyword file>]
//                                                  one routine call, as the window would make it
//   varnobis_bench measure <stdout file> <command...>
//                                                  runs a command, prints "<seconds> <peak KiB>"
#include "engine/Engine.h"
#include "textio/Codec.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace vn;

// Services of a window that is never shown: yields fold into one per stretch, as in the GUI.
class SilentServices final : public WindowServices {
public:
    Answer messageBox(const QString& text, Buttons, Icon, const QString&) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return Answer::Ok;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    void yield() override { ++yields; }
    bool foldsYields() const override { return true; }
    bool showsFileProgress() const override { return false; }
    void setPointer(Pointer p) override { m_pointer = p; }
    Pointer pointer() const override { return m_pointer; }
    void setProgress(Bar, double) override {}
    void setProgressText(Bar, const QString&) override {}
    long yields = 0;

private:
    Pointer m_pointer = Pointer::Arrow;
};

struct NoBlankLines : LineOptionView {
    bool leaveBlankLine() const override { return false; }
};

struct FileKeywords : KeywordListView {
    QStringList list;
    int count() const override { return int(list.size()); }
    QString text(int k) const override { return list.at(k - 1); }
};

// ---- the corpus ----

// Words by rank; word k is drawn about 1/(k+8) as often as the commonest, so there are common
// words, middling ones and rare ones, in ASCII and in several scripts.
const char* const kWords[] = {
    "the",        "of",        "and",         "to",         "in",        "is",        "was",
    "for",        "on",        "that",        "with",       "as",        "by",        "at",
    "from",       "his",       "it",          "an",         "were",      "are",       "which",
    "this",       "be",        "or",          "has",        "had",       "not",       "but",
    "their",      "one",       "also",        "its",        "first",     "new",       "after",
    "who",        "they",      "have",        "her",        "she",       "two",       "been",
    "other",      "when",      "there",       "all",        "during",    "into",      "school",
    "time",       "may",       "years",       "more",       "most",      "only",      "over",
    "city",       "some",      "world",       "would",      "where",     "later",     "up",
    "such",       "used",      "many",        "can",        "state",     "about",     "national",
    "out",        "known",     "university",  "united",     "then",      "made",      "following",
    "de",         "der",       "die",         "und",        "le",        "la",        "et",
    "café",       "über",      "für",         "größe",      "naïve",     "déjà",      "señor",
    "año",        "straße",    "élève",       "время",      "город",     "мир",       "человек",
    "год",        "жизнь",     "καλημέρα",    "κόσμος",     "日本",      "東京",      "中文",
    "市场",       "عالم",      "שלום",        "market",     "river",     "history",   "century",
    "government", "season",    "family",      "church",     "company",   "record",    "album",
    "league",     "series",    "village",     "population", "district",  "county",    "music",
    "film",       "game",      "club",        "party",      "team",      "football",  "played",
    "released",   "born",      "died",        "built",      "station",   "railway",   "island",
    "north",      "south",     "east",        "west",       "military",  "army",      "battle",
    "war",        "king",      "queen",       "emperor",    "temple",    "bridge",    "castle",
    "harbour",    "valley",    "mountain",    "forest",     "desert",    "ocean",     "lake",
    "canal",      "tower",     "palace",      "garden",     "library",   "museum",    "theatre",
    "orchestra",  "symphony",  "novel",       "poem",       "painter",   "sculptor",  "architect",
    "engineer",   "physicist", "chemist",     "biologist",  "zoologist", "botanist",  "astronomer",
    "telescope",  "quantum",   "neutron",     "electron",   "molecule",  "catalyst",  "enzyme",
    "protein",    "genome",    "vaccine",     "epidemic",   "glacier",   "volcano",   "earthquake",
    "hurricane",  "monsoon",   "archipelago", "peninsula",  "plateau",   "tundra",    "savanna",
    "lagoon",     "fjord",     "estuary",     "zephyr",     "quixotic",  "juxtapose", "xylophone",
    "jazz",       "quartz",    "sphinx",      "wizard",     "Zürich",    "Köln",      "Málaga",
    "Kraków",     "İstanbul",  "Ørsted",      "Þingvellir", "Łódź",
};
constexpr int kWordCount = int(sizeof kWords / sizeof kWords[0]);

struct Random {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    std::uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    int below(int n) { return int(next() % std::uint64_t(n)); }
};

int zipfWord(Random& r, const std::vector<double>& cumulative) {
    const double u = double(r.next() >> 11) / double(1ull << 53) * cumulative.back();
    int lo = 0, hi = kWordCount - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (cumulative[std::size_t(mid)] < u)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

bool writeFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

int generate(const std::string& folder, long megabytes) {
    std::vector<double> cumulative(kWordCount);
    double sum = 0;
    for (int k = 0; k < kWordCount; ++k) cumulative[std::size_t(k)] = sum += 1.0 / (k + 8);
    Random r;
    const std::size_t target = std::size_t(megabytes) * 1000 * 1000;
    std::string text;
    text.reserve(target + 256);
    while (text.size() < target) {
        if (r.below(7) == 0) {  // about one line in seven is empty
            text += "\r\n";
            continue;
        }
        const int words = 2 + r.below(14);
        for (int w = 0; w < words; ++w) {
            if (w > 0)
                text += ' ';
            std::string word = kWords[zipfWord(r, cumulative)];
            if ((w == 0 || r.below(40) == 0) && word[0] >= 'a' && word[0] <= 'z')
                word[0] -= 32;
            if (r.below(200) == 0)
                for (char& c : word) c = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
            text += word;
        }
        text += r.below(5) == 0 ? ".\r\n" : "\r\n";
    }
    const QString decoded = QString::fromUtf8(text.data(), qsizetype(text.size()));
    const QByteArray wide = textio::encodeUtf16Le(decoded);
    bool ok = writeFile(folder + "/corpus-8bit.txt", text) &&
              writeFile(folder + "/corpus-utf8bom.txt", "\xEF\xBB\xBF" + text) &&
              writeFile(folder + "/corpus-utf16.txt",
                        std::string("\xFF\xFE", 2) +
                            std::string(wide.constData(), std::size_t(wide.size())));
    // Ten keywords of middling frequency, for the engine (UTF-8) and for grep -f on the
    // UTF-16 copy (each pattern in UTF-16 LE, one per line).
    const char* const keywords[] = {"market", "river",  "history", "century", "government",
                                    "season", "family", "church",  "company", "record"};
    std::string list, list16;
    for (const char* k : keywords) {
        list += std::string(k) + "\n";
        const QByteArray w = textio::encodeUtf16Le(QString::fromUtf8(k));
        list16 += std::string(w.constData(), std::size_t(w.size())) + "\n";
    }
    ok = ok && writeFile(folder + "/keywords.txt", list) &&
         writeFile(folder + "/keywords-utf16.txt", list16);
    // Ten frequent words, which between them hit about four lines in five.
    ok = ok && writeFile(folder + "/keywords-frequent.txt",
                         "the\nof\nand\nin\nis\nwas\nto\nfor\non\nan\n");
    // Longer lists: the ten keywords above, then made-up words of six to ten letters, which
    // hardly ever occur, so the lists differ in length and hardly in what they remove.
    std::string many = list;
    int count = 10;
    for (int n : {100, 1000, 10000}) {
        for (; count < n; ++count) {
            const int letters = 6 + r.below(5);
            for (int i = 0; i < letters; ++i) many += char('a' + r.below(26));
            many += '\n';
        }
        ok = ok && writeFile(folder + "/keywords-" + std::to_string(n) + ".txt", many);
    }
    ok = ok && writeFile(folder + "/keywords-10.txt", list);
    if (!ok)
        std::perror("generate");
    return ok ? 0 : 1;
}

// ---- one engine run ----

QStringList readKeywords(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.isEmpty())
            out.append(QString::fromUtf8(line));
    return out;
}

int runOne(const std::string& mode, const QString& in, const QString& out, const QString& arg) {
    SilentServices ws;
    NoBlankLines option1;
    engine::Host host{ws, option1};
    FileKeywords keys;
    engine::FileResult r;
    if (mode == "contains") {
        r = engine::RemoveContaining(host, in, arg, out, false);
    } else if (mode == "not-contains") {
        r = engine::RemoveNotContaining(host, in, arg, out, false);
    } else if (mode == "icase-contains") {
        r = engine::RemoveContaining(host, in, arg, out, true);
    } else if (mode == "keywords-contains" || mode == "keywords-not-contains") {
        keys.list = readKeywords(arg);
        r = mode == "keywords-contains"
                ? engine::RemoveContainingListview(host, in, keys, out, false)
                : engine::RemoveNotContainingListview(host, in, keys, out, false);
    } else if (mode == "blank") {
        r = engine::RemoveAllBlankLinesWrapper(host, in, out);
    } else if (mode == "numbers") {
        r = engine::RemoveN1(host, in, arg, out);
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    std::fprintf(stderr, "%s: %lld lines read, %lld removed, %ld yields\n", mode.c_str(),
                 (long long)r.linesRead, (long long)r.linesRemoved, ws.yields);
    return r.read ? 0 : 1;
}

// ---- timing a command ----

int measure(const char* stdoutPath, char** argv) {
    const auto began = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        const int fd = open(stdoutPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0)
            _exit(127);
        close(fd);
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(child, &status, 0, &usage) < 0) {
        std::perror("wait4");
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("%.4f %ld\n", seconds, usage.ru_maxrss);
    // grep answers 1 when it selected no line; only a signal or 127 is a failed run.
    return WIFEXITED(status) && WEXITSTATUS(status) != 127 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "generate" && argc == 4)
        return generate(argv[2], std::atol(argv[3]));
    if (what == "run" && (argc == 5 || argc == 6))
        return runOne(argv[2], QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]),
                      argc == 6 ? QString::fromLocal8Bit(argv[5]) : QString());
    if (what == "measure" && argc >= 4)
        return measure(argv[2], argv + 3);
    std::fprintf(stderr,
                 "usage: %s generate <folder> <megabytes>\n"
                 "       %s run <mode> <input> <output> [<text> | <keyword file>]\n"
                 "       %s measure <stdout file> <command...>\n",
                 argv[0], argv[0], argv[0]);
    return 2;
}
