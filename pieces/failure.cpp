#include "pieces/failure.h"

#include <cstdio>

namespace morcelix {

namespace {

const char* TextOf(Text id) {
    switch (id) {
        case Text::FileNotFound:
            return "Fichier non trouvé";
        case Text::OperationDone:
            return "Opération terminé";
        case Text::NotAnInteger:
            return "'%s' n'est pas une valeur entière correcte";
        case Text::NotAPieceSize:
            return "'%s' n'est pas une taille de fichiers correcte";
        case Text::CannotOpen:
            return "Impossible d'ouvrir le fichier %s";
        case Text::CannotCreate:
            return "Impossible de créer le fichier %s";
        case Text::StreamRead:
            return "Erreur de lecture du flux";
        case Text::StreamWrite:
            return "Erreur d'écriture dans le flux";
        case Text::ZeroDivide:
            return "Division par zéro en virgule flottante";
        case Text::InvalidOperation:
            return "Opération en virgule flottante incorrecte";
        case Text::Overflow:
            return "Débordement en virgule flottante";
        case Text::ClipboardOpen:
            return "Impossible d'ouvrir le Presse-papiers";
        case Text::NotFirstPiece:
            return "Le fichier %s n'est pas la première partie d'un découpage";
        case Text::MissingPiece:
            return "Le fichier %s est manquant";
        case Text::WrongSize:
            return "Le fichier %s n'a pas la taille attendue";
        case Text::ChangedDuringJoin:
            return "Le fichier %s a changé pendant le regroupage";
        case Text::ChangedDuringSplit:
            return "Le fichier %s a changé pendant le découpage";
        case Text::DestinationIsPiece:
            return "Le fichier %s est aussi une partie du découpage";
        case Text::FolderRead:
            return "Impossible de lire le dossier %s";
        case Text::CannotCreateWindow:
            return "Impossible de créer la fenêtre principale";
        case Text::OutOfMemory:
            return "Mémoire insuffisante";
        case Text::InternalError:
            return "Erreur interne";
        case Text::SplitInterrupted:
            return "Découpage interrompu";
        case Text::JoinInterrupted:
            return "Regroupage interrompu : relancez la même commande pour le terminer";
        case Text::JoinInterruptedInWindow:
            return "Regroupage interrompu : cliquez sur Regrouper pour le terminer";
        case Text::StopQuestion:
            return "Interrompre l'opération en cours ?";
        case Text::StreamJoinInterrupted:
            return "Regroupage interrompu";
        case Text::Damaged:
            return "Le fichier %s est endommagé";
        case Text::BadManifest:
            return "Le fichier %s n'est pas un fichier de sommes valide";
        case Text::NotInManifest:
            return "Le fichier %s ne figure pas dans le fichier de sommes";
        case Text::NotDeleted:
            return "Le fichier %s n'a pas pu être supprimé";
        case Text::NoRoom:
            return "Espace disque insuffisant pour %s : il faut %s, il reste %s";
        case Text::NoRoomToWrite:
            return "Espace disque insuffisant pour écrire %s";
        case Text::TooLargeForDisk:
            return "Le disque de %s n'accepte pas les fichiers de plus de 4 Go";
        case Text::DestinationExists:
            return "Le fichier %s existe déjà";
        case Text::ReplaceQuestion:
            return "Le fichier %s existe déjà. Voulez-vous le remplacer ?";
        case Text::FullLastPieceQuestion:
            return "La dernière partie, %s, a la même taille que les autres : il en manque "
                   "peut-être. Regrouper quand même ?";
        case Text::NotFirstPieceOf:
            return "Le fichier %s n'est pas la première partie d'un découpage (la première est %s)";
        case Text::NamedFileNotFound:
            return "Fichier non trouvé : %s";
        case Text::IsAFolder:
            return "%s est un dossier";
        case Text::StandardInputKept:
            return "Les parties jusqu'à %s sont gardées : elles contiennent le début de l'entrée, "
                   "%s";
        case Text::InPlaceSplitInterrupted:
            return "Découpage interrompu : relancez la même commande pour le terminer";
        case Text::InPlaceSplitUnfinished:
            return "Le découpage sur place n'est pas terminé : %s et ses parties contiennent tout "
                   "le fichier ; relancez la même commande pour le finir";
        case Text::LinkNotSplitInPlace:
            return "%s est un lien : découpez sur place le fichier vers lequel il mène";
        case Text::OtherNamesNotSplitInPlace:
            return "Le fichier %s a d'autres noms (liens physiques), que le découpage sur place "
                   "viderait : supprimez-les ou découpez-le sans --sur-place";
        case Text::NotInPlacePiece:
            return "Le fichier %s n'est pas une partie du découpage sur place de %s : "
                   "déplacez-le ailleurs, puis relancez la commande";
        case Text::InPlaceOtherSize:
            return "Le découpage sur place de %s a commencé en parties de %so : relancez-le avec "
                   "cette taille pour le terminer";
        case Text::InPlaceOtherSizeCopies:
            return "Les parties de %s déjà là ont la taille %so : relancez la commande avec cette "
                   "taille, ou déplacez-les ailleurs";
        case Text::BadRecoveryFile:
            return "Le fichier %s n'est pas un fichier de secours PAR2 valide";
        case Text::NotEnoughRecovery:
            return "Parties manquantes ou endommagées : %s ; les données de secours permettent "
                   "d'en reconstruire %s";
        case Text::TooManyPiecesForRecovery:
            return "Les données de secours ne peuvent couvrir que 32768 parties au plus : le "
                   "découpage en a %s";
        case Text::TooManyRecoverySlices:
            return "Les données de secours comptent 65535 tranches au plus : %s demandées";
        case Text::RebuiltPieceDamaged:
            return "La partie %s reconstruite ne correspond pas à ses sommes de contrôle : les "
                   "données de secours sont endommagées";
        case Text::NotInJoin:
            return "Le fichier %s ne fait pas partie du regroupement en cours de %s : "
                   "déplacez-le ailleurs";
        case Text::NotARegularFile:
            return "Le fichier %s n'est pas un fichier ordinaire";
        case Text::InUse:
            return "Le fichier %s est utilisé par un autre programme";
        case Text::FolderMissing:
            return "Le dossier %s n'existe pas";
        case Text::WriteErrorIn:
            return "Erreur d'écriture dans le fichier %s : %s";
        case Text::ReadOnlyDisk:
            return "le disque n'accepte pas d'écriture";
        case Text::DiskError:
            return "le disque signale une erreur";
        case Text::FileTooLarge:
            return "le fichier est trop grand pour ce disque";
        case Text::WriteRefused:
            return "le système refuse l'écriture";
        case Text::NotWhatWasWritten:
            return "Le fichier %s n'est pas celui que le regroupage a écrit : les parties qui "
                   "restent sont gardées";
        case Text::InputClosed:
            return "L'entrée standard est fermée";
        case Text::InputIsAFolder:
            return "L'entrée standard est un dossier";
        case Text::InputNotReadable:
            return "L'entrée standard ne peut pas être lue";
        case Text::InputIsPiece:
            return "L'entrée standard est le fichier %s, que le découpage remplacerait";
        case Text::NameNotInNotice:
            return "Le nom %s ne peut pas s'écrire dans les commandes de la notice : il contient "
                   "un guillemet (\"), une fin de ligne ou un autre caractère de contrôle, ou "
                   "n'est pas de l'UTF-8 ; donnez-en un autre avec --nom";
    }
    return "";
}

}  // namespace

std::string FormatText(Text id, std::initializer_list<std::string_view> arguments) {
    std::string text = TextOf(id);
    std::size_t from = 0;
    for (const std::string_view argument : arguments) {
        const std::size_t at = text.find("%s", from);
        if (at == std::string::npos) {
            break;
        }
        text.replace(at, 2, argument);
        from = at + argument.size();
    }
    return text;
}

namespace {

// `value` with `decimals` decimals and a decimal comma.
std::string Decimal(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string result = text;
    if (auto dot = result.find('.'); dot != std::string::npos) {
        result[dot] = ',';
    }
    return result;
}

}  // namespace

std::string FormatBytes(std::int64_t bytes) {
    const double value = static_cast<double>(bytes);
    if (bytes < 1000) {
        return std::to_string(bytes) + " o";
    }
    if (bytes < 1000000) {
        return Decimal(value / 1e3, 1) + " ko";
    }
    if (bytes < 1000000000) {
        return Decimal(value / 1e6, 1) + " Mo";
    }
    return Decimal(value / 1e9, 2) + " Go";
}

}  // namespace morcelix
