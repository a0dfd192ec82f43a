// The driver: reads the command line, checks it, chooses the mode and the
// output name, derives the key and runs the container pipeline.
#include <cstdlib>
#include <cstring>

#include "app/_Main.h"

#include "app/Tools.h"
#include "app/_Tools.h"
#include "cipher/_Cipher.h"
#include "platform/platform.h"
#include "system/File.h"
#include "system/Line.h"
#include "system/System.h"

// The run's absolute names (see _Main.h); set by cipherMain, never freed.
char* runInputName = nullptr;
char* runOutputName = nullptr;

// Whether the argument is the switch, compared without regard to ASCII case.
static bool isSwitch(const char* argument, const char* name) {
    for (; *argument != '\0' && *name != '\0'; ++argument, ++name) {
        char a = *argument >= 'A' && *argument <= 'Z' ? static_cast<char>(*argument + 32) : *argument;
        char n = *name >= 'A' && *name <= 'Z' ? static_cast<char>(*name + 32) : *name;
        if (a != n) return false;
    }
    return *argument == '\0' && *name == '\0';
}

[[noreturn]] static void printSecretAndExit(char* text) {
    xcout("%s\n", text);
    free(text);
    // Nothing may follow the secret on standard output.
    xcout = xcoutNull;
    exitWithCode(0);
}

// The output name when none is given: encryption appends ".cphr"; decryption
// drops the last extension, or appends ".dec" when the name has none.
// A dot followed by any '/' byte lies in a directory name: the file system
// splits names at every '/', even one right after a double-byte lead byte
// (findSlash would pair them, and the output would land in the parent
// directory under a cut name).
static char* defaultOutputName(const char* inputName, int cphrMode) {
    if (cphrMode == 1) return strFormat("%s.%s", inputName, "cphr");
    char* copy = strDup(inputName);
    char* dot = strrchr(copy, '.');
    if (dot != nullptr && findSlash(dot + 1) == nullptr) {
        *dot = '\0';
        return copy;
    }
    char* extension = strFormat(".%s", "dec");
    char* output = strFormat("%s%s", copy, extension);
    free(extension);
    free(copy);
    return output;
}

void cipherMain(int argc, char** argv) {
    platformInit();
    argCount = argc;
    argValues = argv;

    int removeRFileFlag = 0;
    int cphrMode = 0;
    const char* passphrase = nullptr;

    while (argCount - argIndex > 0) {
        const char* argument = argValues[argIndex];
        if (isSwitch(argument, "/MP")) {
            setArgIndex(argIndex + 1);
            int32_t length = argCount - argIndex >= 1 ? parseDecimal(getArg()) : 22;
            printSecretAndExit(MkPassword(length));
        } else if (isSwitch(argument, "/MK")) {
            setArgIndex(argIndex + 1);
            printSecretAndExit(MkKey());
        } else if (isSwitch(argument, "/B")) {
            setArgIndex(argIndex + 1);
            batchMode = 1;
        } else if (isSwitch(argument, "/S")) {
            setArgIndex(argIndex + 1);
            xcout = xcoutNull;
        } else if (isSwitch(argument, "/R")) {
            setArgIndex(argIndex + 1);
            removeRFileFlag = 1;
        } else if (isSwitch(argument, "/E")) {
            setArgIndex(argIndex + 1);
            cphrMode = 1;
        } else if (isSwitch(argument, "/D")) {
            setArgIndex(argIndex + 1);
            cphrMode = 2;
        } else if (isSwitch(argument, "/P")) {
            setArgIndex(argIndex + 1);
            passphrase = getArg();
        } else if (isSwitch(argument, "/PE")) {
            setArgIndex(argIndex + 1);
            xExFlag = 1;
            xChr = parseCharCode(getArg());
            xExp = parseDecimal(getArg());
        } else {
            break;
        }
    }

    // Kept in process-wide pointers: the names live until the process ends.
    char*& inputName = runInputName;
    char*& outputName = runOutputName;
    if (argCount - argIndex > 0) inputName = getFullPath(getArg(), ".");
    if (argCount - argIndex > 0) outputName = getFullPath(getArg(), ".");
    if (argCount - argIndex > 0) {
        fatalErrorMsg("_Main", 81, "main", "不明なコマンド引数が指定されました。");
    }
    if (passphrase == nullptr) {
        fatalErrorMsg("_Main", 84, "main", "パスフレーズ(または鍵)が指定されませんでした。");
    }
    // A FIFO or device would block the run or never end: plain files only.
    if (inputName == nullptr || !fileExists(inputName) || !platformIsRegularFile(inputName)) {
        fatalErrorMsg("_Main", 85, "main", "入力ファイルにアクセスできません。");
    }

    if (cphrMode == 0) cphrMode = mbs_stricmp(getExtension(inputName), "cphr") == 0 ? 2 : 1;
    if (outputName == nullptr) outputName = defaultOutputName(inputName, cphrMode);

    xcout("removeRFileFlag: %d\n", removeRFileFlag);
    xcout("cphrMode: %d\n", cphrMode);
    xcout("< %s\n", inputName);
    xcout("> %s\n", outputName);

    // Names are case-sensitive here, so the names are compared byte for byte;
    // two names of one file (links, symlinks) count as the same too.
    if (strcmp(inputName, outputName) == 0 || platformSameFile(inputName, outputName)) {
        fatalErrorMsg("_Main", 116, "main", "入力ファイルと出力ファイルが同じです。");
    }

    if (fileExists(outputName)) {
        if (!batchMode &&
            platformMessageBox("出力ファイルは既に存在します。\n上書きしますか?", "上書きの確認",
                               MB_TOPMOST | MB_ICONEXCLAMATION | MB_OKCANCEL) != IDOK) {
            xcout("キャンセルしました。\n");
            exitWithCode(2);
        }
        xcout("上書きします。\n");
    }

    const uint8_t* key = GetRawKey(passphrase, cphrMode, inputName);
    if (Cipher(outputName, inputName, removeRFileFlag, cphrMode, key)) exitWithCode(0);

    xcout("%s (%d) %s\n", "_Main", 139, "main");
    if (cphrMode == 1) fatalError("_Main", 140, "main");
    if (!batchMode) {
        platformMessageBox("復号できませんでした。\n鍵またはパスフレーズが違うかファイルが壊れています。",
                           "復号失敗", MB_TOPMOST | MB_ICONERROR | MB_OK);
    }
    fileDelete(outputName);
    exitWithCode(3);
}

// The fuzz harness builds this file without main and calls cipherMain itself.
#ifndef CIPHER_NO_MAIN
int main(int argc, char** argv) { cipherMain(argc, argv); }
#endif
