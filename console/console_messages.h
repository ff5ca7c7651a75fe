// CConsoleMessages: twConsole's longer user-visible texts, in one table. Several are printf
// templates; being compile-time arrays, every use of one as a format has its arguments checked.
// Short messages are written where they are used.
#pragma once

#include <string>

struct CConsoleMessages
{
    static constexpr char ConnectPage[] =
        "<html>\r\n"
        "<head><title>Tarnwick Server : Connect</title></head>\r\n"
        "<body bgcolor=\"#FFFFFF\" text=\"#000000\" link=\"#000080\" vlink=\"#000080\" alink=\"#000080\">\r\n"
        "<table width=\"80%%\" align=\"center\"><tr><td>\r\n"
        "    <h2>Tarnwick Server : Connect</h2>\r\n"
        "    <hr>\r\n"
        "    <p>To go to the website hosted by Tarnwick Server,\r\n"
        "    please click one of the following hyperlinks.\r\n"
        "    If a link does not answer, a firewall on the server computer (a packet filter or\r\n"
        "    another firewall) may block the connection.\r\n"
        "    <p><a href=\"%s\">%s</a> or <a href=\"%s\">%s</a>.\r\n"
        "%s"
        "    <p>Warning: When using an old browser such as Netscape Navigator 4.x\r\n"
        "    to connect to the Tarnwick Server on the SAME computer, it\r\n"
        "    might be slow. That is because they consume too much of the\r\n"
        "    computer processing power when waiting for response.\r\n"
        "    <hr>\r\n"
        "</td></tr></table>\r\n"
        "</body>\r\n"
        "</html>\r\n";
    static constexpr char ServerStarted[] =
        "The web server has been started. Users can now point their\nweb browsers to %s or %s\nfrom their "
        "computers.\n\n";
    // The same, when the server's name is its address.
    static constexpr char ServerStartedAt[] =
        "The web server has been started. Users can now point their\nweb browsers to %s\nfrom their "
        "computers.\n\n";
    static constexpr char SecureServerStarted[] =
        "The secure web server has also been started. Users can point their\nweb browsers to %s from their "
        "computers.\n\n";
    static constexpr char AskLaunchBrowser[] =
        "Would you like this program to try launching your default web\nbrowser to connect to the Tarnwick Server "
        "running on\nthis computer? (If it fails to do so, you can launch a browser\nyourself and go to the first "
        "URL above.)";
    static constexpr char ImporterAddressWarning[] =
        "You must assign a dedicated email address to Email Importer\nbecause it will swallow all emails sent to it "
        "and automatically\nsend out responses. Sharing Email Importer's email address\nwith administrators or "
        "dispatchers will cause loss of emails or\nsame emails getting imported over and over again.";
    static constexpr char SecureSiteParagraph[] =
        "    <p>To access the secure website, go to \r\n    <p><a href=\"%s\">%s</a>\r\n";
    static constexpr char UnderscoreWarning[] =
        "Some web browsers refuse session cookies\nfor HTTP addresses with underscores. "
        "The name of this computer,\n%s, has an underscore. \n\nThis will result in session ID missing error for "
        "some web\nbrowser users when they access Tarnwick Server.\n\nTo avoid the problem, you should rename "
        "this computer to\nsomething else that does not have any underscores in it.";
    // The server needs only a certificate file with its key in its certs folder.
    static constexpr char CertificateHint[] =
        "The secure web server needs a certificate with its private key in the certs folder of this installation. "
        "To enable the secure web server, please select a certificate. \r\n\r\nIf you don't have a certificate, you "
        "can generate a request and send it to a Certificate Authority. Upon approval, they will send you a "
        "certificate. Save it into a .cer file. Come back to this dialog to install it and then select it. ";
    static constexpr char DataSourceMissing[] =
        "You have not set up the data source needed by this program.\r\nPlease run this program again to set it up.";
    static constexpr char StopBeforeCompact[] =
        "You need to shutdown Tarnwick Server \nbefore you can compact the SQLite database file.";
    static constexpr char RestartNeeded[] = "Changes won't take effect until Tarnwick Server is restarted.";
    static constexpr char StartFailed[] = "Failed to start Tarnwick Server %s%s.\n%s";
    static constexpr char StartTimedOut[] = "Tarnwick Server %sfailed to start.\nPlease check log file for errors.";
    static constexpr char StartEnded[] = "Tarnwick Server ended as soon as it was started.";
    static constexpr char StartNotAwaited[] = "The console stopped waiting for Tarnwick Server to start.";
    // Asked when the server did not follow its stop event (it hangs, or was stopped by a signal).
    static constexpr char AskEndServer[] =
        "Tarnwick Server did not stop within %d seconds.\n\nWould you like to end it at once?\nPages and tasks "
        "that it runs now are cut off.";
    static constexpr char EndFailed[] = "Failed to end Tarnwick Server (process %d):\n%s";
    static constexpr char Starting[] = "Starting Tarnwick Server... %d s";
    static constexpr char Stopping[] = "Stopping Tarnwick Server... %d s";
    static constexpr char StopFailed[] = "Failed to stop Tarnwick Server%s.\nPlease check log file for errors. %s\n";
    static constexpr char RequestsFailed[] = "Failed to get requests from Tarnwick Server.";
    static constexpr char ConnectFailed[] = "Failed to connect to Tarnwick Server.";
    static constexpr char StatusFailed[] = "Failed to get status from Tarnwick Server";
    // Shown while a console command waits for the server's answer.
    static constexpr char WaitingForServer[] = "Waiting for Tarnwick Server...";
    // Shown while the domain name of the server's address is looked up.
    static constexpr char ResolvingName[] =
        "Getting Fully Qualified Domain Name for the IP address for this machine. Please wait.";
    // The web server's state in the status view when the server could not be asked.
    static constexpr char NoAnswerNote[] = "Not answering";
    static constexpr char UnreachableNote[] = "Not reachable";
    static constexpr char SendFailed[] = "Failed to send the command to Tarnwick Server.";
    static constexpr char RunNowNoAnswer[] = "%s may not have run: Tarnwick Server did not answer within %d seconds.";
    static constexpr char AskStop[] = "Are you sure you want to stop Tarnwick Server%s?";
    static constexpr char AskStopForAddressChange[] =
        "You have changed the IP address or the port number. \nThis program will need to shut down Tarnwick Server "
        "\ncurrently running in order to save the new settings. \nAre you sure you want to do that?";
    static constexpr char SaveFailed[] = "The settings have not been saved:\n";
    static constexpr char RestartToApply[] =
        "You must stop and restart Tarnwick Server\nbefore your changes will take effect.";
    // What the texts call the server's service; "%s" in the service texts below stands for it.
    static constexpr char ServiceWords[] = "system service (systemd)";
    static constexpr char AskInstallService[] = "Would you like to install Tarnwick Server %s?";
    static constexpr char AskStopAndInstallService[] =
        "Would you like to stop Tarnwick Server \nand install Tarnwick Server %s?";
    static constexpr char InstallServiceFailed[] = "Failed to install Tarnwick Server service.\n";
    static constexpr char AskRemoveService[] = "Setting the Tarnwick Server to run as a normal program \nwill remove "
                                               "the Tarnwick Server %1$s. "
                                               "\n\nWould you like to remove Tarnwick Server %1$s?";
    static constexpr char AskStopAndRemoveService[] =
        "Setting the Tarnwick Server to run as a normal program \nwill remove the Tarnwick Server %1$s. "
        "\n\nWould you like to stop and remove Tarnwick Server %1$s?";
    static constexpr char RemoveServiceFailed[] = "Failed to remove Tarnwick Server %s.\n";
};

// printf-style formatting into a string, for the templates above (the program's own texts, never
// text from outside).
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
