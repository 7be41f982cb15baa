// The console dialogue: address, menu, the chosen function, the reset question
// and the exit prompt. Every run performs exactly one function.
#include "uploader.h"

namespace uplder {

namespace {

// Typed-ahead input is dropped just before the prompt appears rather than just
// after: the same for a person at the keyboard, and a script that answers as
// soon as it sees the prompt cannot lose its answer to the discard.
std::string prompt(Uplder& u, bool discard) {
    Console& c = u.plat.console;
    if (discard) c.discardTypeahead();
    u.msg(IDS_PROMPT);
    c.flush();
    std::string line;
    c.readLine(line);  // end of input reads as an empty line
    return line;
}

bool isAnswer(const std::string& a, char letter) {
    return a.size() == 1 && (a[0] == letter || a[0] == letter + ('a' - 'A'));
}

}  // namespace

int uplderMain(Uplder& u, const std::vector<std::string>& args, bool frameworkReady) {
    if (!frameworkReady) {
        u.plat.console.writeError(std::string(kFatalInit) + "\n");
        return 1;
    }
    u.model = &selectModel(args);
    u.model->LoadModelName();

    u.msgLine(IDS_ENTER_ADDRESS, u.model->GetModelName());
    u.msgLine(IDS_ADDRESS_DEFAULT);
    std::string address = prompt(u, false);
    u.deviceAddress = address.empty() ? std::string(kFactoryDefaultAddress) : address;

    u.msg(IDS_MENU_HEAD);
    u.msg(IDS_MENU_TRANSFER);
    u.msg(IDS_MENU_RESET);
    u.msgLine(IDS_MENU_DEFAULT);
    std::string choice;
    for (;;) {
        choice = prompt(u, true);
        if (choice.empty()) choice = "1";
        if (choice == "1" || choice == "2") break;
        u.msg(IDS_MENU_OUT_OF_RANGE);
    }

    if (choice == "1") {
        doFileTransfer(u);
        if (u.success) {
            u.msg(IDS_RESET_NEEDED);
            std::string answer;
            for (;;) {
                u.newline();
                u.msgLine(IDS_RESET_QUESTION);
                u.msgLine(IDS_RESET_DEFAULT);
                answer = prompt(u, true);
                if (answer.empty()) answer = "y";
                if (isAnswer(answer, 'Y') || isAnswer(answer, 'N')) break;
            }
            if (isAnswer(answer, 'Y')) doDeviceReset(u);
            else u.newline();
        }
    } else {
        doDeviceReset(u);
    }

    u.plat.console.discardTypeahead();
    u.msgLine(IDS_EXIT_PROMPT);
    std::string rest;
    u.plat.console.readLine(rest);
    return 0;
}

}  // namespace uplder
