<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Form1</name>
    <message>
        <source>File name of the page</source>
        <translation>Dateiname der Seite</translation>
    </message>
    <message>
        <source>No keyring took the password: it is kept in the settings file.</source>
        <translation>Kein Schlüsselbund hat das Passwort angenommen: Es steht in der Einstellungsdatei.</translation>
    </message>
    <message>
        <source>Publish changed files</source>
        <translation>Geänderte Dateien veröffentlichen</translation>
    </message>
    <message>
        <source>%1 (1 file failed)</source>
        <translation>%1 (1 Datei fehlgeschlagen)</translation>
    </message>
    <message>
        <source>%1 (%2 files failed)</source>
        <translation>%1 (%2 Dateien fehlgeschlagen)</translation>
    </message>
    <message>
        <source>1 file published</source>
        <translation>1 Datei veröffentlicht</translation>
    </message>
    <message>
        <source>%1 files published</source>
        <translation>%1 Dateien veröffentlicht</translation>
    </message>
</context>
<context>
    <name>app</name>
    <message>
        <source>unknown failure</source>
        <translation>unbekannter Fehler</translation>
    </message>
    <message>
        <source>%1 failed:
%2</source>
        <extracomment>%1 is the caption of the button clicked, or &quot;Start&quot;; %2 the reason.</extracomment>
        <translation>%1 fehlgeschlagen:
%2</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>ftp-publisher --publish cannot reach this program: %1</source>
        <translation>ftp-publisher --publish erreicht dieses Programm nicht: %1</translation>
    </message>
    <message>
        <source>usage: ftp-publisher [--publish [FILE...] | --watch [FILE...] | --publish-changed [--dry-run | --mark-published]]</source>
        <translation>Aufruf: ftp-publisher [--publish [DATEI...] | --watch [DATEI...] | --publish-changed [--dry-run | --mark-published]]</translation>
    </message>
</context>
<context>
    <name>desktop</name>
    <message>
        <source>Show the window</source>
        <translation>Fenster zeigen</translation>
    </message>
    <message>
        <source>cannot start %1: %2</source>
        <translation>%1 lässt sich nicht starten: %2</translation>
    </message>
    <message>
        <source>ftp-publisher ended while starting</source>
        <translation>ftp-publisher endete beim Start</translation>
    </message>
    <message>
        <source>ftp-publisher did not start within %1 s</source>
        <translation>ftp-publisher startete nicht innerhalb von %1 s</translation>
    </message>
    <message>
        <source>ftp-publisher ended before the upload did</source>
        <translation>ftp-publisher endete vor dem Ende der Übertragung</translation>
    </message>
    <message>
        <source>the running ftp-publisher did not answer within %1 s</source>
        <translation>das laufende ftp-publisher antwortete nicht innerhalb von %1 s</translation>
    </message>
    <message>
        <source>%1 is not a folder</source>
        <translation>%1 ist kein Ordner</translation>
    </message>
    <message>
        <source>%1 is open to other users</source>
        <translation>%1 steht anderen Benutzern offen</translation>
    </message>
    <message>
        <source>%1 belongs to another user</source>
        <translation>%1 gehört einem anderen Benutzer</translation>
    </message>
    <message>
        <source>cannot listen at %1: %2</source>
        <translation>an %1 lässt sich nicht lauschen: %2</translation>
    </message>
    <message>
        <source>the folder %1 does not exist</source>
        <translation>der Ordner %1 existiert nicht</translation>
    </message>
    <message>
        <source>the folder %1 cannot be watched</source>
        <translation>der Ordner %1 lässt sich nicht beobachten</translation>
    </message>
    <message>
        <source>the watched folder %1 is gone or unreadable</source>
        <translation>der beobachtete Ordner %1 ist fort oder nicht lesbar</translation>
    </message>
    <message>
        <source>%1: gone; published again once it is back</source>
        <translation>%1: fort; wird wieder veröffentlicht, sobald sie zurück ist</translation>
    </message>
    <message>
        <source>Watching %1; Ctrl-C ends.</source>
        <translation>Beobachte %1; Strg-C beendet.</translation>
    </message>
    <message>
        <source>cannot lock %1</source>
        <translation>%1 lässt sich nicht sperren</translation>
    </message>
</context>
<context>
    <name>settings</name>
    <message>
        <source>Cannot read the settings from %1:
%2</source>
        <translation>Die Einstellungen lassen sich nicht aus %1 lesen:
%2</translation>
    </message>
    <message>
        <source>Cannot save the settings to %1:
%2</source>
        <translation>Die Einstellungen lassen sich nicht in %1 speichern:
%2</translation>
    </message>
    <message>
        <source>it holds only %1 of %2 lines.</source>
        <translation>Die Datei enthält nur %1 von %2 Zeilen.</translation>
    </message>
    <message>
        <source>this Qt offers no Windows-1252 conversion (no ICU).</source>
        <translation>Dieses Qt kann nicht in Windows-1252 umwandeln (kein ICU).</translation>
    </message>
    <message>
        <source>setting %1 of %2 holds a line break or a character that the file cannot hold; nothing was saved.</source>
        <translation>Einstellung %1 von %2 enthält einen Zeilenumbruch oder ein Zeichen, das die Datei nicht aufnehmen kann; nichts wurde gespeichert.</translation>
    </message>
    <message>
        <source>the folder %1 cannot be created: %2</source>
        <translation>der Ordner %1 lässt sich nicht anlegen: %2</translation>
    </message>
</context>
<context>
    <name>site</name>
    <message>
        <source>the folder %1 cannot be read</source>
        <translation>der Ordner %1 kann nicht gelesen werden</translation>
    </message>
    <message>
        <source>skipped: %1: a link to %2, outside the local directory</source>
        <translation>übersprungen: %1: ein Verweis auf %2, außerhalb des lokalen Verzeichnisses</translation>
    </message>
    <message>
        <source>no local directory is set</source>
        <translation>kein lokales Verzeichnis eingestellt</translation>
    </message>
    <message>
        <source>the local directory %1 is not a folder</source>
        <translation>das lokale Verzeichnis %1 ist kein Ordner</translation>
    </message>
    <message>
        <source>the local directory %1 cannot be read</source>
        <translation>das lokale Verzeichnis %1 kann nicht gelesen werden</translation>
    </message>
</context>
<context>
    <name>upload</name>
    <message>
        <source>server URL not usable: %1</source>
        <translation>Server-URL nicht verwendbar: %1</translation>
    </message>
    <message>
        <source>out of memory</source>
        <translation>kein Speicher mehr frei</translation>
    </message>
    <message>
        <source>it holds a NUL character</source>
        <translation>sie enthält ein NUL-Zeichen</translation>
    </message>
    <message>
        <source>it must start with ftp:// (plain FTP), ftpes:// (FTP with TLS), ftps:// (FTP with implicit TLS) or sftp://</source>
        <translation>sie muss mit ftp:// (einfaches FTP), ftpes:// (FTP mit TLS), ftps:// (FTP mit implizitem TLS) oder sftp:// beginnen</translation>
    </message>
    <message>
        <source>it must not hold a user name or password</source>
        <translation>sie darf weder Benutzername noch Passwort enthalten</translation>
    </message>
    <message>
        <source>it may name only the host and port</source>
        <translation>sie darf nur Rechner und Port nennen</translation>
    </message>
    <message>
        <source>port 0 cannot be connected to</source>
        <translation>mit Port 0 kann keine Verbindung aufgebaut werden</translation>
    </message>
    <message>
        <source>the trusted certificate file %1 cannot be read: %2</source>
        <translation>die Datei der vertrauenswürdigen Zertifikate %1 ist nicht lesbar: %2</translation>
    </message>
    <message>
        <source>this libcurl refuses the security option %1 (%2), so nothing was sent</source>
        <translation>dieses libcurl lehnt die Sicherheitsoption %1 ab (%2), daher wurde nichts gesendet</translation>
    </message>
    <message>
        <source>the host key of %1 has changed since it was recorded in %2; connection refused. If the server&apos;s key was really replaced, remove its old line from that file.</source>
        <translation>der Host-Schlüssel von %1 hat sich geändert, seit er in %2 eingetragen wurde; Verbindung abgelehnt. Wurde der Schlüssel des Servers wirklich ersetzt, löschen Sie seine alte Zeile aus dieser Datei.</translation>
    </message>
    <message>
        <source>the host key of %1 was not accepted: %2</source>
        <translation>der Host-Schlüssel von %1 wurde nicht angenommen: %2</translation>
    </message>
    <message>
        <source>the certificate of %1 was refused: %2</source>
        <translation>das Zertifikat von %1 wurde abgelehnt: %2</translation>
    </message>
    <message>
        <source>%1 does not offer TLS (it refused AUTH TLS), so neither user name nor password was sent: %2</source>
        <translation>%1 bietet kein TLS an (AUTH TLS abgelehnt), daher wurden weder Benutzername noch Passwort gesendet: %2</translation>
    </message>
    <message>
        <source>the SFTP login at %1 was refused (user name or password wrong?): %2</source>
        <translation>die SFTP-Anmeldung bei %1 wurde abgelehnt (Benutzername oder Passwort falsch?): %2</translation>
    </message>
    <message>
        <source>no TLS connection with %1: %2</source>
        <translation>keine TLS-Verbindung mit %1: %2</translation>
    </message>
    <message>
        <source>upload failed: %1</source>
        <translation>Hochladen fehlgeschlagen: %1</translation>
    </message>
    <message>
        <source>%1; the page stays as it was</source>
        <translation>%1; die Seite bleibt unverändert</translation>
    </message>
    <message>
        <source>renaming failed: %1; %2</source>
        <translation>Umbenennen fehlgeschlagen: %1; %2</translation>
    </message>
    <message>
        <source>renaming %1 to %2 failed: %3</source>
        <translation>Umbenennen von %1 in %2 fehlgeschlagen: %3</translation>
    </message>
    <message>
        <source>%1; the page on the server may now be incomplete (it was written directly under its name, because the server refuses the temporary name)</source>
        <translation>%1; die Seite auf dem Server kann jetzt unvollständig sein (sie wurde direkt unter ihrem Namen geschrieben, weil der Server den temporären Namen ablehnt)</translation>
    </message>
    <message>
        <source>%1 bytes uploaded and verified (%2), directly under the page&apos;s name: the server refuses the temporary name</source>
        <extracomment>%2 is the word &quot;erfolgreich&quot; that marks every success, in every language: keep it.</extracomment>
        <translation>Übertragung %2: %1 Bytes, geprüft (direkt unter dem Seitennamen, der Server lehnt den temporären Namen ab)</translation>
    </message>
    <message>
        <source>%1 bytes uploaded and verified (%2)</source>
        <translation>Übertragung %2: %1 Bytes, geprüft</translation>
    </message>
    <message>
        <source>the temporary file %1 could not be deleted: %2</source>
        <translation>die temporäre Datei %1 ließ sich nicht löschen: %2</translation>
    </message>
    <message>
        <source> [%1 more characters cut]</source>
        <translation> [%1 weitere Zeichen abgeschnitten]</translation>
    </message>
    <message>
        <source>Last upload:</source>
        <translation>Letzte Übertragung:</translation>
    </message>
    <message>
        <source>libcurl could not create a transfer handle</source>
        <translation>libcurl konnte keine Übertragung anlegen</translation>
    </message>
    <message>
        <source>%1 contains a control character (such as CR, LF or NUL); refused</source>
        <extracomment>%1 names the setting, such as &quot;the user name&quot;.</extracomment>
        <translation>%1 enthält ein Steuerzeichen (etwa CR, LF oder NUL); abgelehnt</translation>
    </message>
    <message>
        <source>%1; last server reply: %2</source>
        <translation>%1; letzte Antwort des Servers: %2</translation>
    </message>
    <message>
        <source>local file cannot be read: %1</source>
        <translation>lokale Datei nicht lesbar: %1</translation>
    </message>
    <message>
        <source>the server does not tell the size</source>
        <translation>der Server nennt die Größe nicht</translation>
    </message>
    <message>
        <source>local file not found: %1</source>
        <translation>lokale Datei nicht gefunden: %1</translation>
    </message>
    <message>
        <source>local file cannot be read: %1: %2</source>
        <translation>lokale Datei nicht lesbar: %1: %2</translation>
    </message>
    <message>
        <source>the remote path names no file: %1</source>
        <translation>der Pfad auf dem Server nennt keine Datei: %1</translation>
    </message>
    <message>
        <source>access type %1 is not supported (only 0: the system&apos;s default way to the network)</source>
        <translation>Zugriffsart %1 wird nicht unterstützt (nur 0: der übliche Weg des Systems ins Netz)</translation>
    </message>
    <message>
        <source>protocol %1 is not supported (only 2: FTP)</source>
        <translation>Protokoll %1 wird nicht unterstützt (nur 2: FTP)</translation>
    </message>
    <message>
        <source>the server URL</source>
        <translation>die Server-URL</translation>
    </message>
    <message>
        <source>the user name</source>
        <translation>der Benutzername</translation>
    </message>
    <message>
        <source>the password</source>
        <translation>das Passwort</translation>
    </message>
    <message>
        <source>the command</source>
        <translation>der Befehl</translation>
    </message>
    <message>
        <source>unknown command %1 (only PUT and CLOSE)</source>
        <translation>unbekannter Befehl %1 (nur PUT und CLOSE)</translation>
    </message>
    <message>
        <source>the size of %1 on the server is unknown: %2</source>
        <translation>Größe von %1 auf dem Server nicht feststellbar: %2</translation>
    </message>
    <message>
        <source>%1 bytes on the server, %2 bytes here</source>
        <translation>auf dem Server %1 Bytes, lokal %2 Bytes</translation>
    </message>
    <message>
        <source>the trusted certificates cannot be written: %1</source>
        <translation>die vertrauenswürdigen Zertifikate lassen sich nicht schreiben: %1</translation>
    </message>
    <message>
        <source>SFTP does not go through libcurl, so nothing was sent</source>
        <translation>SFTP läuft nicht über libcurl, daher wurde nichts gesendet</translation>
    </message>
    <message>
        <source>libssh could not set up a session: %1</source>
        <translation>libssh konnte keine Sitzung einrichten: %1</translation>
    </message>
    <message>
        <source>no SSH connection with %1</source>
        <translation>keine SSH-Verbindung mit %1</translation>
    </message>
    <message>
        <source>the SFTP login at %1</source>
        <translation>die SFTP-Anmeldung bei %1</translation>
    </message>
    <message>
        <source>the SFTP service of %1 did not start</source>
        <translation>der SFTP-Dienst von %1 ist nicht gestartet</translation>
    </message>
    <message>
        <source>%1: no reply within %2 s</source>
        <translation>%1: keine Antwort innerhalb von %2 s</translation>
    </message>
    <message>
        <source>%1: stopped</source>
        <translation>%1: abgebrochen</translation>
    </message>
    <message>
        <source>the size of %1 on the server is unknown</source>
        <translation>die Größe von %1 auf dem Server ist unbekannt</translation>
    </message>
    <message>
        <source>%1 bytes on the server, %2 bytes sent</source>
        <translation>%1 Bytes auf dem Server, %2 Bytes gesendet</translation>
    </message>
    <message>
        <source>the SFTP reply: %1</source>
        <translation>die SFTP-Antwort: %1</translation>
    </message>
    <message>
        <source>none within %1 s</source>
        <translation>keine innerhalb von %1 s</translation>
    </message>
    <message>
        <source>a packet of %1 bytes</source>
        <translation>ein Paket von %1 Bytes</translation>
    </message>
    <message>
        <source>not a reply to the request</source>
        <translation>keine Antwort auf die Anfrage</translation>
    </message>
    <message>
        <source>no SSH agent runs, and %1 holds no id_ed25519, id_ecdsa or id_rsa</source>
        <translation>es läuft kein SSH-Agent, und %1 enthält kein id_ed25519, id_ecdsa oder id_rsa</translation>
    </message>
    <message>
        <source>the SFTP login at %1 as %2 was refused: without a password only a key can log in, and none was accepted (tried: %3)</source>
        <translation>die SFTP-Anmeldung bei %1 als %2 wurde abgelehnt: ohne Passwort kann nur ein Schlüssel anmelden, und keiner wurde angenommen (versucht: %3)</translation>
    </message>
    <message>
        <source>the SSH agent, which did not answer</source>
        <translation>der SSH-Agent, der nicht antwortete</translation>
    </message>
    <message>
        <source>the keys of the SSH agent</source>
        <translation>die Schlüssel des SSH-Agenten</translation>
    </message>
    <message>
        <source>%1, which needs a passphrase (add it to the SSH agent with ssh-add)</source>
        <translation>%1, der eine Passphrase braucht (mit ssh-add dem SSH-Agenten hinzufügen)</translation>
    </message>
    <message>
        <source>%1, which cannot be read as a key</source>
        <translation>%1, der sich nicht als Schlüssel lesen lässt</translation>
    </message>
    <message>
        <source>no connection to %1 port %2 (%3)</source>
        <translation>keine Verbindung zu %1 Port %2 (%3)</translation>
    </message>
    <message>
        <source>no answer within %1 s</source>
        <translation>keine Antwort innerhalb von %1 s</translation>
    </message>
    <message>
        <source>the folder %1 cannot be created: %2</source>
        <translation>der Ordner %1 lässt sich nicht anlegen: %2</translation>
    </message>
    <message>
        <source>no private copy of %1 can be made: %2</source>
        <translation>von %1 lässt sich keine private Kopie anlegen: %2</translation>
    </message>
    <message>
        <source>%1 kept changing while it was read</source>
        <translation>%1 änderte sich immer wieder, während sie gelesen wurde</translation>
    </message>
    <message>
        <source>the private copy %1 cannot be named in a PUT</source>
        <translation>die private Kopie %1 lässt sich in keinem PUT nennen</translation>
    </message>
    <message>
        <source>%1 lies outside the local directory %2</source>
        <translation>%1 liegt außerhalb des lokalen Verzeichnisses %2</translation>
    </message>
    <message>
        <source>%1 is a folder, not a file</source>
        <translation>%1 ist ein Ordner, keine Datei</translation>
    </message>
    <message>
        <source>%1 holds a control character in its name</source>
        <translation>%1 enthält ein Steuerzeichen im Namen</translation>
    </message>
    <message>
        <source>%1; the page may be missing on the server: its new version stays there as %2</source>
        <translation>%1; die Seite fehlt auf dem Server womöglich: ihre neue Fassung bleibt dort als %2</translation>
    </message>
    <message>
        <source>the SSH agent, which did not sign within %1 s</source>
        <translation>der SSH-Agent, der nicht binnen %1 s signierte</translation>
    </message>
    <message>
        <source>stopped</source>
        <translation>abgebrochen</translation>
    </message>
    <message>
        <source>the name was not found within %1 s</source>
        <translation>der Name wurde nicht binnen %1 s gefunden</translation>
    </message>
    <message>
        <source>nothing published yet to this server, account and remote directory: every file counts as changed</source>
        <translation>noch nichts auf diesen Server, dieses Konto und dieses entfernte Verzeichnis veröffentlicht: jede Datei gilt als geändert</translation>
    </message>
    <message>
        <source>%1 to publish, %2 failed, %3 unchanged</source>
        <translation>%1 zu veröffentlichen, %2 fehlgeschlagen, %3 unverändert</translation>
    </message>
    <message>
        <source>%1 marked as published, %2 failed, %3 unchanged</source>
        <translation>%1 als veröffentlicht vermerkt, %2 fehlgeschlagen, %3 unverändert</translation>
    </message>
    <message>
        <source>%1 published, %2 failed, %3 unchanged</source>
        <translation>%1 veröffentlicht, %2 fehlgeschlagen, %3 unverändert</translation>
    </message>
    <message>
        <source>the record of what was published cannot be written: %1</source>
        <translation>der Vermerk des Veröffentlichten kann nicht geschrieben werden: %1</translation>
    </message>
</context>
</TS>
