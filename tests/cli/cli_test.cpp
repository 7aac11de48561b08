// morcelix-cli run as a process, as a script runs it: exit statuses, the texts
// on each output, and what is left on disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/cli/run_program.h"
#include "tests/support/stopped_join.h"
#include "tests/support/temp_folder.h"
#include "tests/support/undeletable_file.h"
#include "version.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tests/support/fifo_guard.h"
#endif

namespace morcelix {
namespace {

using testing::CliProgram;
using testing::MakeFolder;
using testing::PatternBytes;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::RecordingProgress;
using testing::RunProgram;
using testing::TempFolder;
using testing::WriteFileBytes;

using testing::kCliPrefix;
constexpr const char* kSeeHelp = "Pour l'aide : morcelix-cli --aide\n";

class CliTest : public ::testing::Test {
  protected:
    ProgramRun Run(const std::vector<std::string>& arguments) {
        return RunProgram(CliProgram(), arguments, scratch.Path(), testing::BuiltProgramLauncher());
    }

    TempFolder folder;
    TempFolder scratch;
    // Characters outside any ANSI code page, a blank and a quote: the name must
    // reach the program whole.
    std::string name = "vacances d'été Ωμέγα.avi";
    std::string source = folder / name;
    std::string first = source + ".001";
};

// The size is a number of Mo, a preset, or --parties N: the smallest piece size
// that gives at most N pieces.
TEST_F(CliTest, SplitThenJoinGivesTheSourceBackByteForByte) {
    struct Case {
        std::int64_t size;
        std::vector<std::string> pieceSize;
        std::vector<std::int64_t> pieces;
    };
    const Case cases[] = {
        {2500000, {"1"}, {1000000, 1000000, 500000}},
        {3000000, {"1"}, {1000000, 1000000, 1000000, 0}},  // a whole multiple: a last, empty piece
        {0, {"1"}, {0}},
        {2500000, {"cd"}, {2500000}},
        {2500000, {"FAT32"}, {2500000}},
        {2500000, {"courriel"}, {2500000}},
        {2500000, {"1,5"}, {1500000, 1000000}},
        {2500000, {"1 MiB"}, {1048576, 1048576, 402848}},
        {2500000, {"0.9Mo"}, {900000, 900000, 700000}},
        {10, {"--parties", "3"}, {4, 4, 2}},
        {12, {"--parties", "4"}, {4, 4, 4, 0}},
        {12, {"--parties", "5"}, {3, 3, 3, 3, 0}},
        {5, {"--parties", "4"}, {2, 2, 1}},  // no size gives exactly 4
        {7, {"--parties", "1"}, {7}},
        {7, {"--parties", "0007"}, {2, 2, 2, 1}},  // size 1 would give 8
        {7, {"--parties=8"}, {1, 1, 1, 1, 1, 1, 1, 0}},
        {0, {"--parties", "3"}, {0}},
        {1000001, {"--parties", "7"}, {142858, 142858, 142858, 142858, 142858, 142858, 142853}},
    };
    for (const auto& c : cases) {
        const std::string bytes = PatternBytes(c.size, 5);
        WriteFileBytes(source, bytes);

        std::vector<std::string> split = {"decouper", source};
        split.insert(split.end(), c.pieceSize.begin(), c.pieceSize.end());
        ProgramRun run = Run(split);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");  // no progress line when standard error is a file
        std::vector<std::int64_t> sizes;
        for (std::uint64_t i = 1; FileExists(PieceName(source, i)); ++i) {
            sizes.push_back(FileSize(PieceName(source, i)));
        }
        EXPECT_EQ(sizes, c.pieces) << c.size << " " << c.pieceSize.back();
        EXPECT_EQ(ReadFileBytes(source), bytes);

        RemoveFile(source);
        run = Run({"regrouper", first});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(ReadFileBytes(source), bytes) << c.size;
        EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
    }

    // A thousand pieces: the names grow to four digits, and there are no more.
    WriteFileBytes(source, PatternBytes(99999, 12));
    ASSERT_EQ(Run({"decouper", source, "--parties", "1000"}).status, 0);
    EXPECT_EQ(folder.Names().size(), 1001u);
    EXPECT_EQ(FileSize(PieceName(source, 999)), 100);
    EXPECT_EQ(FileSize(PieceName(source, 1000)), 99);
}

TEST_F(CliTest, KeepingThePiecesLeavesTheSetWhereverTheOptionStands) {
    const std::string bytes = PatternBytes(2500000, 6);
    WriteFileBytes(source, bytes);
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    const auto set = folder.Snapshot();

    for (const auto& arguments : {std::vector<std::string>{"regrouper", "--garder", first},
                                  std::vector<std::string>{"regrouper", first, "--garder"}}) {
        const ProgramRun run = Run(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFileBytes(source), bytes);
        RemoveFile(source);
        EXPECT_EQ(folder.Snapshot(), set);
    }
}

TEST_F(CliTest, AFolderOptionPutsThePiecesAndThenTheJoinedFileElsewhere) {
    const std::string bytes = PatternBytes(2500000, 10);
    WriteFileBytes(source, bytes);
    TempFolder pieces;
    TempFolder joined;
    const auto sourceFolder = folder.Snapshot();
    const std::vector<std::string> pieceNames = {name + ".001", name + ".002", name + ".003"};
    // Both spellings, before or after the operands, the value apart, attached
    // or after "=".
    const std::vector<std::string> splits[] = {
        {"decouper", "-o", pieces.Path(), source, "1"},
        {"decouper", source, "1", "--dossier=" + pieces.Path()},
        {"decouper", "-o" + pieces.Path(), source, "1"},
    };
    const std::vector<std::string> joins[] = {
        {"regrouper", "--dossier", joined.Path(), pieces / (name + ".001")},
        {"regrouper", pieces / (name + ".001"), "-o", joined.Path()},
        {"regrouper", "--dossier=" + joined.Path(), pieces / (name + ".001")},
    };
    for (int i = 0; i < 3; ++i) {
        ProgramRun run = Run(splits[i]);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out + run.err, "");
        EXPECT_EQ(pieces.Names(), pieceNames);
        EXPECT_EQ(folder.Snapshot(), sourceFolder);

        run = Run(joins[i]);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out + run.err, "");
        EXPECT_EQ(pieces.Names(), std::vector<std::string>{});
        EXPECT_EQ(joined.Names(), std::vector<std::string>{name});
        EXPECT_EQ(ReadFileBytes(joined / name), bytes);
        RemoveFile(joined / name);
    }

    // A folder that does not exist (named with a final separator): named,
    // and nothing else is touched.
    const std::string missing =
        (folder / "absent") + static_cast<char>(std::filesystem::path::preferred_separator);
    const std::string noFolder = kCliPrefix + "Le dossier " + folder / "absent" + " n'existe pas\n";
    ProgramRun run = Run({"decouper", "-o", missing, source, "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, noFolder);
    EXPECT_EQ(folder.Snapshot(), sourceFolder);

    ASSERT_EQ(Run({"decouper", "-o", pieces.Path(), source, "1"}).status, 0);
    const auto set = pieces.Snapshot();
    run = Run({"regrouper", "-o", missing, pieces / (name + ".001")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, noFolder);
    EXPECT_EQ(pieces.Snapshot(), set);
}

TEST_F(CliTest, VerboseNamesEachFileCreatedOrDeletedAndQuietShowsOnlyFailures) {
    WriteFileBytes(source, PatternBytes(2500000, 13));
    const std::string second = source + ".002";
    const std::string third = source + ".003";
    ProgramRun run = Run({"--verbeux", "decouper", source, "1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "créé : " + first + "\ncréé : " + second + "\ncréé : " + third + "\n");
    EXPECT_EQ(run.err, "");
    RemoveFile(source);

    run = Run({"regrouper", "--garder", "--verbeux", first});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "créé : " + source + "\n");
    RemoveFile(source);
    run = Run({"regrouper", first, "--verbeux"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "créé : " + source + "\nsupprimé : " + first + "\nsupprimé : " + second +
                           "\nsupprimé : " + third + "\n");
    EXPECT_EQ(run.err, "");

    // Quiet: not even the listing of verifier; its status still tells.
    for (const auto& arguments : {std::vector<std::string>{"decouper", "--silencieux", source, "1"},
                                  std::vector<std::string>{"verifier", first, "--silencieux"}}) {
        run = Run(arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out + run.err, "");
    }
    RemoveFile(second);
    const std::string missing = kCliPrefix + "Le fichier " + second + " est manquant\n";
    for (const char* command : {"verifier", "regrouper"}) {
        run = Run({"--silencieux", command, first});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, missing);
    }
}

TEST_F(CliTest, VerifierListsTheSetAndReportsTheFirstMissingPiece) {
    WriteFileBytes(source, PatternBytes(2500000, 7));
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    auto before = folder.Snapshot();

    ProgramRun run = Run({"verifier", first});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "1000000  " + first + "\n" +               //
                           "1000000  " + source + ".002\n" +      //
                           " 500000  " + source + ".003\n" +      //
                           "Total : 3 parties, 2500000 octets\n"  //
                           "Fichier regroupé : " +
                           source + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(folder.Snapshot(), before);

    RemoveFile(source + ".002");
    before = folder.Snapshot();
    const std::string missing = kCliPrefix + "Le fichier " + source + ".002 est manquant\n";
    run = Run({"verifier", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "1000000  " + first + "\n" +
                           "Total : 1 partie, 1000000 octets\n"
                           "Fichier regroupé : " +
                           source + "\n");
    EXPECT_EQ(run.err, missing);

    // Joining the same set refuses before touching anything.
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, missing);
    EXPECT_EQ(folder.Snapshot(), before);
}

TEST_F(CliTest, RefusalsGiveTheirMessageAndStatusOneAndWriteNothing) {
    WriteFileBytes(source, PatternBytes(2500000, 8));
    const std::string empty = folder / "vide.txt";
    WriteFileBytes(empty, "");
    const std::string other = folder / "notes.txt";
    WriteFileBytes(other + ".001", "abc");
    WriteFileBytes(other + ".002", "def");
    const std::string missing = folder / "absent.avi";
    const auto before = folder.Snapshot();

    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string notFirst = " n'est pas la première partie d'un découpage";
    const Case cases[] = {
        // What is not there, or not a file, is named.
        {{"decouper", missing, "1"}, "Fichier non trouvé : " + missing},
        {{"regrouper", missing + ".001"}, "Fichier non trouvé : " + missing + ".001"},
        {{"verifier", missing + ".001"}, "Fichier non trouvé : " + missing + ".001"},
        {{"regrouper", "-c", missing + ".001"}, "Fichier non trouvé : " + missing + ".001"},
        {{"decouper", folder.Path(), "1"}, folder.Path() + " est un dossier"},
        {{"regrouper", folder.Path()}, folder.Path() + " est un dossier"},
        {{"verifier", folder.Path()}, folder.Path() + " est un dossier"},
        // Another name of a set whose first piece is there: that piece is the one to give.
        {{"regrouper", other + ".002"},
         "Le fichier " + other + ".002" + notFirst + " (la première est " + other + ".001)"},
        {{"verifier", other + ".002"},
         "Le fichier " + other + ".002" + notFirst + " (la première est " + other + ".001)"},
        {{"regrouper", "--stdout", other},
         "Le fichier " + other + notFirst + " (la première est " + other + ".001)"},
        {{"regrouper", empty}, "Le fichier " + empty + notFirst},
    };
    for (const auto& c : cases) {
        const ProgramRun run = Run(c.arguments);
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_EQ(run.out, "") << c.message;
        EXPECT_EQ(run.err, kCliPrefix + c.message + "\n");
        EXPECT_EQ(folder.Snapshot(), before) << c.message;
    }
}

TEST_F(CliTest, MalformedCommandsAreUsageErrorsAndHelpAndVersionGoToStandardOutput) {
    WriteFileBytes(source, "abc");
    const auto before = folder.Snapshot();
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case malformed[] = {
        {{}, "Commande manquante"},
        {{"couper", source, "1"}, "Commande inconnue : couper"},
        {{"decouper", source}, "Nombre d'arguments incorrect pour decouper"},
        {{"decouper", source, "1", "2"}, "Nombre d'arguments incorrect pour decouper"},
        {{"regrouper"}, "Nombre d'arguments incorrect pour regrouper"},
        {{"verifier", first, first}, "Nombre d'arguments incorrect pour verifier"},
        {{"decouper", "--taille", source, "1"}, "Option inconnue : --taille"},
        {{"decouper", "-x", source, "1"}, "Option inconnue : -x"},
        {{"-Vx"}, "Option inconnue : -x"},
        {{"decouper", source, "-5"}, "Option inconnue : -5"},
        // A shortened name that fits several options names them all, so that
        // the user sees which to write; one that fits a single option is it.
        {{"--s", "decouper", source, "1"},
         "Option ambiguë : --s (--somme, --secours, --sur-place, --stdout ou --silencieux ?)"},
        {{"decouper", "-", "1", "--no"}, "Option ambiguë : --no (--nom ou --notice ?)"},
        {{"decouper", "--no=x", "-", "1"}, "Option ambiguë : --no=x (--nom ou --notice ?)"},
        {{"decouper", "-", "1", "--nom"}, "Valeur manquante pour l'option --nom"},
        {{"decouper", "-", "1", "--noti=x"}, "L'option --notice ne prend pas de valeur"},
        {{"--help=oui"}, "L'option --help ne prend pas de valeur"},
        {{"regrouper", "-co", folder.Path(), first}, "Les options -c et -o s'excluent"},
        {{"decouper", "-c", source, "1"}, "L'option -c ne s'applique qu'à regrouper"},
        {{"decouper", "-", "1"}, "L'entrée standard (-) se découpe avec --nom NOM"},
        {{"decouper", "--parties=2", "--nom", "x", "-"},
         "L'option --parties ne s'applique pas à l'entrée standard (-)"},
        {{"regrouper", "--nom", "x", first}, "L'option --nom ne s'applique qu'à decouper"},
        {{"decouper", "--garder", source, "1"}, "L'option --garder ne s'applique qu'à regrouper"},
        {{"verifier", "--garder", first}, "L'option --garder ne s'applique qu'à regrouper"},
        {{"regrouper", "--garder=oui", first}, "L'option --garder ne prend pas de valeur"},
        {{"verifier", "-o", folder.Path(), first},
         "L'option -o ne s'applique qu'à decouper et regrouper"},
        {{"decouper", source, "1", "-o"}, "Valeur manquante pour l'option -o"},
        {{"decouper", "--dossier=", source, "1"}, "Valeur manquante pour l'option --dossier"},
        {{"decouper", "--dossiers", source, "1"}, "Option inconnue : --dossiers"},
        {{"--verbeux", "verifier", "--silencieux", first},
         "Les options --verbeux et --silencieux s'excluent"},
        {{"decouper", "--parties", "3", source, "1"},
         "L'option --parties remplace TAILLE : donnez l'un ou l'autre"},
        {{"decouper", "--parties", "3"}, "Nombre d'arguments incorrect pour decouper"},
        {{"regrouper", "--parties", "3", first}, "L'option --parties ne s'applique qu'à decouper"},
        {{"decouper", source, "--parties"}, "Valeur manquante pour l'option --parties"},
        {{"decouper", "--parties", "0", source}, "'0' n'est pas un nombre de parties correct"},
        {{"decouper", "--parties", "+3", source}, "'+3' n'est pas un nombre de parties correct"},
        {{"decouper", "--parties", "3 ", source}, "'3 ' n'est pas un nombre de parties correct"},
        {{"decouper", "--parties", "$10", source}, "'$10' n'est pas un nombre de parties correct"},
        {{"decouper", "--parties", "trois", source},
         "'trois' n'est pas un nombre de parties correct"},
        {{"decouper", "--parties=9223372036854775808", source},
         "'9223372036854775808' n'est pas un nombre de parties correct"},
        {{"--", "--aide"}, "Commande inconnue : --aide"},
#ifndef _WIN32
        // A path here, not a request for help.
        {{"/?"}, "Commande inconnue : /?"},
#endif
    };
    // A TAILLE that is none is a mistake in the command line, whether the
    // file is there or not.
    for (const std::string size : {"abc", "cdrom", "", "0", "0x10", "1,5,0", "700 Mx"}) {
        for (const std::string& file : {source, folder / "absent.avi"}) {
            const ProgramRun run = Run({"decouper", file, "--", size});
            EXPECT_EQ(run.status, 2) << size;
            EXPECT_EQ(run.err, kCliPrefix + "'" + size +
                                   "' n'est pas une taille de fichiers correcte\n" + kSeeHelp);
        }
    }
    for (const auto& c : malformed) {
        const ProgramRun run = Run(c.arguments);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, kCliPrefix + c.message + "\n" + kSeeHelp);
    }
    std::vector<std::vector<std::string>> help = {{"-h"},
                                                  {"--aide"},
                                                  {"--help"},
                                                  {"--ai"},
                                                  {"-hV"},
                                                  {"decouper", source, "--aide"},
                                                  {"regrouper", "-h"}};
#ifdef _WIN32
    help.push_back({"/?"});
    help.push_back({"verifier", "/?", first});
#endif
    for (const auto& arguments : help) {
        const ProgramRun run = Run(arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.out.starts_with("Usage : morcelix-cli")) << run.out;
        EXPECT_NE(run.out.find("découpe FICHIER en parties de TAILLE"), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
    for (const auto& arguments :
         {std::vector<std::string>{"--version"}, {"-V"}, {"decouper", source, "1", "-V"}}) {
        const ProgramRun run = Run(arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "morcelix-cli " MORCELIX_VERSION_STRING
                           "\nLicence MIT, Copyright (c) 2026 the Morcelix authors\n");
        EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(folder.Snapshot(), before);
}

TEST_F(CliTest, AChecksummedSetIsVerifiedPieceByPieceAndByTheSystemsTools) {
    const std::string bytes = PatternBytes(2500000, 15);
    WriteFileBytes(source, bytes);
    ProgramRun run = Run({"decouper", "--somme", source, "1"});
    ASSERT_EQ(run.status, 0) << run.err;
    RemoveFile(source);
    const std::string listing = "1000000  " + first + "  {1}\n" +       //
                                "1000000  " + source + ".002  {2}\n" +  //
                                " 500000  " + source + ".003  {3}\n" +  //
                                "Total : 3 parties, 2500000 octets\n"   //
                                "Fichier regroupé : " +
                                source + "\nSommes de contrôle : " + source + ".sha256 (SHA-256)\n";
    const auto states = [&](const char* one, const char* two, const char* three) {
        std::string text = listing;
        for (const auto& [mark, state] : {std::pair{"{1}", one}, {"{2}", two}, {"{3}", three}}) {
            text.replace(text.find(mark), 3, state);
        }
        return text;
    };
    run = Run({"verifier", first});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, states("OK", "OK", "OK"));
    EXPECT_EQ(run.err, "");

    const std::string second = ReadFileBytes(source + ".002");
    std::string flipped = second;
    flipped[999999] ^= 1;
    WriteFileBytes(source + ".002", flipped);
    run = Run({"verifier", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, states("OK", "endommagé", "OK"));
    EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + source + ".002 est endommagé\n");
    WriteFileBytes(source + ".002", second);

#ifndef _WIN32
    // The system's own check, before the join (the pieces) and after it (the file).
    const auto check = [&] {
        return RunProgram("sh",
                          {"-c", "cd \"$0\" && sha256sum -c --ignore-missing \"$1\"", folder.Path(),
                           name + ".sha256"},
                          scratch.Path());
    };
    run = check();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, name + ".001: OK\n" + name + ".002: OK\n" + name + ".003: OK\n");
#endif
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(source), bytes);
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{name, name + ".sha256"}));
#ifndef _WIN32
    run = check();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, name + ": OK\n");
#endif
}

TEST_F(CliTest, VerifierTakesThePiecesThatAnInterruptedJoinLeft) {
    const std::string bytes = PatternBytes(2500000, 17);
    WriteFileBytes(source, bytes);
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    // A join stopped once the first piece was safe in the file and deleted,
    // then one stopped before it could delete the second: every piece that
    // stands is listed.
    testing::RecordJoinUnderWay(source, source, {1000000, 1000000, 500000});
    RemoveFile(first);
    for (const std::int64_t joined : {1000000, 2000000}) {
        WriteFileBytes(source, bytes.substr(0, static_cast<std::size_t>(joined)));
        const auto before = folder.Snapshot();
        for (const std::string& picked : {first, source + ".003"}) {
            const ProgramRun run = Run({"verifier", picked});
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.out, "1000000  " + source + ".002\n" +          //
                                   " 500000  " + source + ".003\n" +      //
                                   "Total : 2 parties, 1500000 octets\n"  //
                                   "Fichier regroupé : " +
                                   source + "\n")
                << joined;
            EXPECT_EQ(folder.Snapshot(), before);
        }
    }
    // Not to standard output: the start of the file is no longer in the pieces.
    ProgramRun run = Run({"regrouper", "-c", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kCliPrefix + "Fichier non trouvé : " + first + "\n");
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(source), bytes);
}

// Standard input split into NOM.001, NOM.002... and the set joined back to
// standard output, through pipes as a shell makes them. Every piece stays.
TEST_F(CliTest, StandardInputIsSplitAndTheSetJoinedToStandardOutputThroughPipes) {
    struct Case {
        std::int64_t size;
        std::vector<std::int64_t> pieces;
    };
    const Case cases[] = {
        {2500000, {1000000, 1000000, 500000}},
        {2000000, {1000000, 1000000, 0}},  // ends on a piece boundary: a last, empty piece
        {0, {0}},
    };
    const std::string base = folder / "flux";
    for (const auto& c : cases) {
        const std::string bytes = PatternBytes(c.size, 18);
        ProgramRun run = RunProgram(
            CliProgram(), {"decouper", "--somme", "-o", folder.Path(), "-", "1M", "--nom", "flux"},
            scratch.Path(), testing::BuiltProgramLauncher(), {.input = bytes});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out + run.err, "");
        std::vector<std::int64_t> sizes;
        for (std::uint64_t i = 1; FileExists(PieceName(base, i)); ++i) {
            sizes.push_back(FileSize(PieceName(base, i)));
        }
        EXPECT_EQ(sizes, c.pieces) << c.size;
        EXPECT_TRUE(FileExists(base + ".sha256"));

        const auto set = folder.Snapshot();
        run = RunProgram(CliProgram(), {"regrouper", "-c", base + ".001"}, scratch.Path(),
                         testing::BuiltProgramLauncher(),
                         {.input = std::nullopt, .outputThroughPipe = true});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(run.out == bytes) << c.size << ": " << run.out.size() << " bytes";
        EXPECT_EQ(folder.Snapshot(), set);
        for (const std::string& entry : folder.Names()) {
            if (entry.starts_with("flux")) {
                RemoveFile(folder / entry);
            }
        }
    }
}

TEST_F(CliTest, ADamagedPieceStopsTheJoinToStandardOutput) {
    WriteFileBytes(source, PatternBytes(2500000, 19));
    ASSERT_EQ(Run({"decouper", "--somme", source, "1"}).status, 0);
    std::string second = ReadFileBytes(source + ".002");
    second[999999] ^= 1;
    WriteFileBytes(source + ".002", second);
    const ProgramRun run = Run({"regrouper", "-c", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + source + ".002 est endommagé\n");
    EXPECT_EQ(run.out.size(), 2000000u) << "the pieces up to the damaged one, not the next";
}

#ifndef _WIN32
// What the tool is for in a backup script: tar's stream cut into pieces as it
// is made, checked by the system's tools, and fed back to tar.
TEST_F(CliTest, ATarStreamIsSplitAsItIsMadeAndJoinedIntoTar) {
    TempFolder tree;
    MakeFolder(tree / "sous-dossier");
    const std::pair<std::string, std::string> files[] = {
        {"a.bin", PatternBytes(300000, 20)},
        {"sous-dossier/b.bin", PatternBytes(2200000, 21)},
        {"vide.txt", ""},
    };
    for (const auto& [path, bytes] : files) {
        WriteFileBytes(tree / path, bytes);
    }
    TempFolder restored;
    std::vector<std::string> arguments = {
        "-c",
        "set -euo pipefail\n"
        "cd \"$1\"\n"
        "cli=(\"${@:4}\")\n"
        "tar -c -C \"$2\" . | \"${cli[@]}\" decouper - 1M --nom sauvegarde.tar --somme\n"
        "sha256sum -c --ignore-missing --quiet sauvegarde.tar.sha256\n"
        "\"${cli[@]}\" regrouper -c sauvegarde.tar.001 | tar -x -C \"$3\"\n"
        "\"${cli[@]}\" regrouper --stdout sauvegarde.tar.001 >sauvegarde.tar\n"
        "sha256sum -c --quiet sauvegarde.tar.sha256\n",
        "bash",
        folder.Path(),
        tree.Path(),
        restored.Path()};
    for (const std::string& word : testing::BuiltProgramLauncher()) {
        arguments.push_back(word);
    }
    arguments.push_back(CliProgram());
    const ProgramRun run = RunProgram("bash", arguments, scratch.Path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    for (const auto& [path, bytes] : files) {
        EXPECT_TRUE(testing::PathExists(restored / path) && ReadFileBytes(restored / path) == bytes)
            << path;
    }
    const std::vector<std::string> names = folder.Names();
    EXPECT_EQ(std::count_if(
                  names.begin(), names.end(),
                  [](const std::string& entry) { return entry.starts_with("sauvegarde.tar.00"); }),
              3)
        << "every piece kept";
}

// Standard input that brings nothing and stays open (a producer that stalls,
// a terminal): Ctrl+C still stops the split at once, the piece begun kept.
TEST_F(CliTest, AnInterruptionStopsTheWaitForStandardInput) {
    const std::string fifo = scratch / "entree";
    testing::MakeFifo(fifo);
    const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // held open, never written
    ASSERT_GE(writer, 0);
    const std::string piece = folder / "flux.001";
    std::vector<std::string> arguments = {"-c", "exec \"$@\" <\"$0\"", fifo};
    for (const std::string& word : testing::BuiltProgramLauncher()) {
        arguments.push_back(word);
    }
    for (const std::string& word : {CliProgram(), std::string("decouper"), std::string("-"),
                                    std::string("1"), std::string("--nom"), folder / "flux"}) {
        arguments.push_back(word);
    }
    testing::ProgramProcess split("bash", arguments, scratch.Path());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!FileExists(piece) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(FileExists(piece)) << "the split did not start";
    split.Interrupt();
    const ProgramRun run = split.Wait(std::chrono::seconds(30));
    close(writer);
    EXPECT_EQ(run.status, 130) << "-1: it went on waiting";
    EXPECT_EQ(run.err, kCliPrefix + "Découpage interrompu\n" + kCliPrefix + "Les parties jusqu'à " +
                           piece +
                           " sont gardées : elles contiennent le début de l'entrée, 0 octet\n");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"flux.001"});
}
#endif

#ifdef _WIN32
// A pipe and a redirection as a cmd script makes them: the bytes go through
// unchanged, not taken for text.
TEST_F(CliTest, PiecesGoThroughThePipesAndRedirectionsOfCmd) {
    const std::string bytes = PatternBytes(2500000, 22);
    WriteFileBytes(folder / "a.bin", bytes);
    ASSERT_EQ(Run({"decouper", folder / "a.bin", "1"}).status, 0);
    const std::string cli = CliProgram();
    ASSERT_EQ(cli.find(' '), std::string::npos);
    ASSERT_EQ(folder.Path().find(' '), std::string::npos);
    const ProgramRun run =
        RunProgram(std::getenv("ComSpec"),
                   {"/s", "/c",
                    "cd /d " + folder.Path() + " && " + cli + " regrouper -c a.bin.001 | " + cli +
                        " decouper - 700k --nom b && " + cli + " regrouper --stdout b.001 > b"},
                   scratch.Path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(folder / "b") == bytes);
    EXPECT_EQ(FileSize(folder / "b.004"), 400000);
}
#endif

TEST_F(CliTest, APieceOfTheWrongSizeIsReportedAndRefused) {
    WriteFileBytes(source, PatternBytes(2500000, 7));
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    // A copy cut off: the middle piece is short.
    WriteFileBytes(source + ".002", ReadFileBytes(source + ".002").substr(0, 600000));
    const auto before = folder.Snapshot();
    const std::string wrong =
        kCliPrefix + "Le fichier " + source + ".002 n'a pas la taille attendue\n";

    ProgramRun run = Run({"verifier", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "1000000  " + first + "\n" +               //
                           " 600000  " + source + ".002\n" +      //
                           " 500000  " + source + ".003\n" +      //
                           "Total : 3 parties, 2100000 octets\n"  //
                           "Fichier regroupé : " +
                           source + "\n");
    EXPECT_EQ(run.err, wrong);
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, wrong);
    EXPECT_EQ(folder.Snapshot(), before);
}

#ifndef _WIN32
TEST_F(CliTest, AFolderThatCanNotBeListedIsRefusedBeforeAnythingIsTouched) {
    WriteFileBytes(source, PatternBytes(2500000, 8));
    ASSERT_EQ(Run({"decouper", source, "1"}).status, 0);
    RemoveFile(source);
    RemoveFile(source + ".002");  // a gap that only the listing shows
    const auto before = folder.Snapshot();
    // Its files can be reached, but the folder can not be read. Root reads
    // every folder: the tool then runs as nobody.
    std::filesystem::permissions(testing::NativePath(folder.Path()),
                                 std::filesystem::perms::owner_all |
                                     std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_exec);
    const std::vector<std::string> asNobody =
        geteuid() == 0 ? std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534",
                                                  "--clear-groups", "--"}
                       : std::vector<std::string>{};
    const ProgramRun run = RunProgram(CliProgram(), {"regrouper", first}, scratch.Path(),
                                      testing::BuiltProgramLauncher(asNobody));
    std::filesystem::permissions(testing::NativePath(folder.Path()),
                                 std::filesystem::perms::owner_all);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kCliPrefix + "Impossible de lire le dossier " + folder.Path() + "\n");
    EXPECT_EQ(folder.Snapshot(), before);
}

TEST_F(CliTest, OnlyARegularFileIsSplit) {
    const std::string fifo = folder / "tube";
    testing::MakeFifo(fifo);
    for (const std::string& notAFile : {fifo, std::string("/dev/zero")}) {
        const ProgramRun run =
            testing::ProgramProcess(CliProgram(), {"decouper", notAFile, "1"}, scratch.Path(),
                                    testing::BuiltProgramLauncher())
                .Wait(std::chrono::seconds(20));
        EXPECT_EQ(run.status, 1) << notAFile << " (-1: it waited on the FIFO)";
        EXPECT_EQ(run.err,
                  kCliPrefix + "Le fichier " + notAFile + " n'est pas un fichier ordinaire\n");
    }
    // A link to one is followed: what it leads to is no file either.
    const std::string link = folder / "lien";
    std::filesystem::create_symlink("/dev/zero", testing::NativePath(link));
    const ProgramRun run = Run({"decouper", link, "1"});
    EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + link + " n'est pas un fichier ordinaire\n");
    EXPECT_FALSE(FileExists(fifo + ".001"));
    EXPECT_FALSE(testing::PathExists("/dev/zero.001"));
}
#endif

// Pieces deep in a folder tree: paths beyond the 260 characters (MAX_PATH) that
// Windows long set as the limit. Only the files go beyond it, so that the
// test's own tools can make and remove the folder; the files are written and
// read through the core's streams.
TEST_F(CliTest, PathsLongerThanMaxPathAreSplitAndJoined) {
    ASSERT_LT(folder.Path().size(), 200u);
    const std::string deep = folder / std::string(239 - folder.Path().size(), 'd');
    MakeFolder(deep);
    const std::string longSource =
        deep + static_cast<char>(std::filesystem::path::preferred_separator) + name;
    ASSERT_GT(longSource.size(), 260u);
    const std::string bytes = PatternBytes(2500000, 14);
    {
        TFileStream file(longSource, OpenMode::Create);
        file.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    }

    ProgramRun run = Run({"decouper", longSource, "1"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(FileSize(PieceName(longSource, 3)), 500000);
    ASSERT_TRUE(RemoveFile(longSource));
    run = Run({"regrouper", PieceName(longSource, 1)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(FileExists(PieceName(longSource, 1)));
    ASSERT_EQ(FileSize(longSource), static_cast<std::int64_t>(bytes.size()));
    std::string joined(bytes.size(), '\0');
    {
        TFileStream file(longSource, OpenMode::Read);
        file.ReadBuffer(joined.data(), static_cast<std::int32_t>(joined.size()));
    }
    EXPECT_EQ(joined, bytes);
    RemoveFile(longSource);
}

TEST_F(CliTest, ASetWrittenByTheSplitRoutineInProcessIsJoinedByTheTool) {
    const std::string bytes = PatternBytes(2500001, 9);
    WriteFileBytes(source, bytes);
    RecordingProgress progress;
    Split(source, 1000000, progress);
    RemoveFile(source);

    const ProgramRun run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(source), bytes);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
}

TEST_F(CliTest, APieceThatCanNotBeDeletedIsNamedAfterTheJoinAndDeletedByTheNextOne) {
    const std::string bytes = PatternBytes(2500001, 9);
    WriteFileBytes(source, bytes);
    RecordingProgress progress;
    Split(source, 1000000, progress);
    RemoveFile(source);
    const std::string second = PieceName(source, 2);
    testing::UndeletableFile held(second);
    if (!held.Held()) {
        GTEST_SKIP() << "this file system can not make a file undeletable";
    }

    ProgramRun run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + second + " n'a pas pu être supprimé\n");
    EXPECT_EQ(ReadFileBytes(source), bytes);
    // The record of the join stays, for the next one.
    EXPECT_EQ(folder.Names(), (std::vector<std::string>{name, name + ".000", name + ".002"}));

    held.Release();
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadFileBytes(source), bytes);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
#ifdef _WIN32
    // Held by this process for a moment only, as a virus scanner holds a new
    // file: the tool waits for it.
    WriteFileBytes(source, bytes);
    Split(source, 1000000, progress);
    RemoveFile(source);
    testing::UndeletableFile moment(second);
    moment.ReleaseAfter(std::chrono::seconds(1));
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
#endif
}

// With a manifest too: the next join finds the piece's digest in the manifest
// and its bytes at its place, whichever piece it is given.
TEST_F(CliTest, AChecksummedJoinWithAPieceThatCouldNotBeDeletedIsFinishedFromAnyPiece) {
    const std::string bytes = PatternBytes(3'500'000, 19);
    const std::string third = PieceName(source, 3);
    for (const std::string& picked : {first, third}) {
        WriteFileBytes(source, bytes);
        RecordingProgress progress;
        Split(source, 1'000'000, progress, {.sums = {.manifest = true}});
        RemoveFile(source);
        {
            testing::UndeletableFile held(third);
            if (!held.Held()) {
                GTEST_SKIP() << "this file system can not make a file undeletable";
            }
            const ProgramRun run = Run({"regrouper", first});
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.err, kCliPrefix + "Le fichier " + third + " n'a pas pu être supprimé\n");
        }
        const ProgramRun run = Run({"regrouper", picked});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(ReadFileBytes(source) == bytes);
        EXPECT_EQ(folder.Names(), (std::vector<std::string>{name, name + ".sha256"}));
        RemoveFile(source);
        RemoveFile(ManifestPath(source));
    }
}

TEST_F(CliTest, AFat32DiskIsRefusedFilesOfMoreThan4GiBBeforeAnythingIsWritten) {
#ifdef _WIN32
    GTEST_SKIP() << "Wine reports a type of its own for every disk: the seam of the core's tests "
                    "stands in for FAT32 there";
#endif
    const std::string fat = testing::FatDiskFolder();
    if (fat.empty()) {
        GTEST_SKIP() << "no FAT32 file system (MORCELIX_FAT_DISK unset)";
    }
    const TempFolder stick(fat);
    testing::MakeSparseFile(source, 5'000'000'000);
    ProgramRun run = Run({"decouper", "-o", stick.Path(), source, "4500"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "morcelix-cli : Le disque de " + stick / name +
                           ".001 n'accepte pas les fichiers de plus de 4 Go\n");

    RemoveFile(source);
    testing::MakeSparseFile(first, 2'500'000'000);
    testing::MakeSparseFile(PieceName(source, 2), 2'500'000'000);
    testing::MakeSparseFile(PieceName(source, 3), 1000);
    run = Run({"regrouper", "-o", stick.Path(), first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "morcelix-cli : Le disque de " + stick / name +
                           " n'accepte pas les fichiers de plus de 4 Go\n");
    EXPECT_TRUE(stick.Names().empty());
}

// What is found before anything is touched: a set that may lack its end, a
// file of the destination's name that is not the set's join, a manifest that
// contradicts itself. Each refusal leaves every file as it was.
TEST_F(CliTest, ASetThatMayLackItsEndOrAnotherFileOfItsNameIsRefusedUnlessForced) {
    const std::string bytes = PatternBytes(4'500'000, 3);
    WriteFileBytes(source, bytes);
    RecordingProgress progress;
    Split(source, 1'000'000, progress);
    RemoveFile(source);
    // The last piece still on the USB stick: all the others are full.
    const std::string last = ReadFileBytes(PieceName(source, 5));
    RemoveFile(PieceName(source, 5));
    const std::string missing =
        "morcelix-cli : Le fichier " + PieceName(source, 5) + " est manquant\n";
    auto before = folder.Snapshot();
    ProgramRun run = Run({"verifier", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, missing);
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, missing);
    EXPECT_EQ(folder.Snapshot(), before);
    WriteFileBytes(PieceName(source, 5), last);

    // Another file of the destination's name.
    WriteFileBytes(source, "an unrelated file");
    before = folder.Snapshot();
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "morcelix-cli : Le fichier " + source + " existe déjà\n");
    EXPECT_EQ(folder.Snapshot(), before);
    run = Run({"regrouper", "--forcer", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(source), bytes);

    // Another tool's set of a whole multiple ends on a full piece.
    RemoveFile(source);
    for (std::size_t number = 1; number <= 4; ++number) {
        WriteFileBytes(PieceName(source, number),
                       bytes.substr((number - 1) * 1'000'000, 1'000'000));
    }
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, missing);
    run = Run({"regrouper", "-f", first});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFileBytes(source), bytes.substr(0, 4'000'000));
    EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
}

TEST_F(CliTest, AManifestWhoseWholeLineContradictsItsPiecesIsNamed) {
    const std::string bytes = PatternBytes(2'500'000, 4);
    WriteFileBytes(source, bytes);
    RecordingProgress progress;
    Split(source, 1'000'000, progress, {.sums = {.manifest = true}});
    RemoveFile(source);
    const std::string manifest = ManifestPath(source);
    std::string text = ReadFileBytes(manifest);
    const std::size_t wholeLine = text.rfind('\n', text.size() - 2) + 1;
    text[wholeLine] = text[wholeLine] == '0' ? '1' : '0';
    WriteFileBytes(manifest, text);
    const std::string invalid =
        "morcelix-cli : Le fichier " + manifest + " n'est pas un fichier de sommes valide\n";
    ProgramRun run = Run({"verifier", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, invalid);
    // The join reads the set before it touches anything, as the verifier does.
    const auto before = folder.Snapshot();
    run = Run({"regrouper", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, invalid);
    EXPECT_EQ(folder.Snapshot(), before);
}

TEST_F(CliTest, VerifierReportsADestinationThatIsOneOfThePieces) {
    WriteFileBytes(source, PatternBytes(1'500'000, 5));
    RecordingProgress progress;
    Split(source, 1'000'000, progress);
    RemoveFile(source);
    std::error_code error;
    std::filesystem::create_hard_link(testing::NativePath(PieceName(source, 2)),
                                      testing::NativePath(source), error);
    if (error) {
        GTEST_SKIP() << "no hard links here";
    }
    const ProgramRun run = Run({"verifier", first});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "morcelix-cli : Le fichier " + source + " est aussi une partie du découpage\n");
}

#ifndef _WIN32
TEST_F(CliTest, AHundredThousandPiecesAreJoinedInLittleMemory) {
    if (!testing::BuiltProgramLauncher().empty()) {
        GTEST_SKIP() << "under an emulator, the memory measured is the emulator's";
    }
    const std::string bytes = PatternBytes(1'000'005, 8);
    WriteFileBytes(source, bytes);
    RecordingProgress progress;
    Split(source, 10, progress);
    RemoveFile(source);
    const ProgramRun idle = Run({"--version"});
    const ProgramRun run = Run({"regrouper", first});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadFileBytes(source) == bytes);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{name});
    // The program's own memory, beyond what any run of it takes.
    EXPECT_LT(run.peakKiB - idle.peakKiB, 8 * 1024) << run.peakKiB << " KiB";
}
#endif

}  // namespace
}  // namespace morcelix
