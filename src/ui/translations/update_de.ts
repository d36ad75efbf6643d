<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>MainWindow</name>
    <message>
        <source>%1 left</source>
        <translation>noch %1</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Update starten</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Start Varnolt</source>
        <translation>Varnolt starten</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>Beta channel</source>
        <translation>Beta Channel</translation>
    </message>
    <message>
        <source>Alpha channel (%1)</source>
        <translation>Alpha Channel (%1)</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Aktualisierung läuft momentan.&lt;/p&gt;&lt;p&gt;Wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Earlier lines are no longer shown here; the whole log is written to standard error.</source>
        <translation>Frühere Zeilen werden hier nicht mehr angezeigt; das vollständige Protokoll steht in der Standardfehlerausgabe.</translation>
    </message>
    <message>
        <source>Varnolt 3 Client Update</source>
        <translation>Varnolt 3 Client-Aktualisierung</translation>
    </message>
    <message>
        <source>&lt;span style=&quot;font-size:14pt; font-weight:bold;&quot;&gt;Varnolt 3 Client Update&lt;/span&gt;</source>
        <translation>&lt;span style=&quot;font-size:14pt; font-weight:bold;&quot;&gt;Varnolt 3 Client-Aktualisierung&lt;/span&gt;</translation>
    </message>
    <message>
        <source>&lt;small&gt;Copyright © Varnolt. All rights reserved. &lt;a href=&quot;https://www.varnolt.com/&quot;&gt;www.varnolt.com&lt;/a&gt;&lt;/small&gt;</source>
        <translation>&lt;small&gt;Copyright © Varnolt. Alle Rechte vorbehalten. &lt;a href=&quot;https://www.varnolt.com/&quot;&gt;www.varnolt.com&lt;/a&gt;&lt;/small&gt;</translation>
    </message>
    <message>
        <source>0 KB/s</source>
        <translation>0 KB/s</translation>
    </message>
    <message>
        <source>0 KB</source>
        <translation>0 KB</translation>
    </message>
    <message>
        <source>/</source>
        <translation>/</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>%1 KB</source>
        <translation>%1 KB</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Aktualisierung abgebrochen. Die Gründe stehen unter „Details“.</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>%1 cannot be written</source>
        <translation>%1 kann nicht geschrieben werden</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Konnte aktuelle Client Version nicht
vom Aktualisierungsserver abfragen.</translation>
    </message>
    <message>
        <source>No client type specified</source>
        <translation>Kein Client Type angegeben</translation>
    </message>
    <message>
        <source>No client version specified</source>
        <translation>Keine Client Version angegeben</translation>
    </message>
    <message>
        <source>Another update is already running in this installation.</source>
        <translation>In dieser Installation läuft bereits eine Aktualisierung.</translation>
    </message>
    <message>
        <source>Not enough disk space in %1 to store %2</source>
        <translation>Nicht genug Speicherplatz in %1, um %2 zu speichern</translation>
    </message>
    <message>
        <source>Not enough disk space in %1 to store the update: %2 KB needed, %3 KB free</source>
        <translation>Nicht genug Speicherplatz in %1 für die Aktualisierung: %2 KB benötigt, %3 KB frei</translation>
    </message>
    <message>
        <source>Could not write %1 in %2: %3</source>
        <translation>Konnte %1 in %2 nicht schreiben: %3</translation>
    </message>
    <message>
        <source>Update server offers version %1, older than the installed version %2.</source>
        <translation>Der Aktualisierungsserver bietet Version %1 an, die älter ist als die installierte Version %2.</translation>
    </message>
    <message>
        <source>--nouser option is missing</source>
        <translation>Die Option --nouser fehlt</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Aktualisierungsserver lieferte eine ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Another start of the updater found this unattended run.</source>
        <translation>Ein weiterer Start des Aktualisierungsprogramms hat diesen unbeaufsichtigten Lauf vorgefunden.</translation>
    </message>
    <message>
        <source>Received signal %1, cancelling</source>
        <translation>Signal %1 empfangen, Abbruch</translation>
    </message>
    <message>
        <source>Usage: update --headless [--verify] [TYPE VERSION]</source>
        <translation>Aufruf: update --headless [--verify] [TYP VERSION]</translation>
    </message>
    <message>
        <source>Recovered an interrupted installation: %1 changes undone</source>
        <translation>Unterbrochene Installation wiederhergestellt: %1 Änderungen rückgängig gemacht</translation>
    </message>
    <message>
        <source>Recovered an interrupted installation: finished</source>
        <translation>Unterbrochene Installation wiederhergestellt: abgeschlossen</translation>
    </message>
    <message>
        <source>An interrupted installation could not be repaired: %1. The journal %2 was left in place.</source>
        <translation>Eine unterbrochene Installation konnte nicht repariert werden: %1. Das Journal %2 wurde belassen.</translation>
    </message>
    <message>
        <source>The lock file %1 is not a regular file</source>
        <translation>Die Sperrdatei %1 ist keine reguläre Datei</translation>
    </message>
    <message>
        <source>Cannot lock %1: %2</source>
        <translation>Kann %1 nicht sperren: %2</translation>
    </message>
    <message>
        <source>warning: rollback rename %1 to %2 failed</source>
        <translation>Warnung: Rücknahme der Umbenennung von %1 in %2 fehlgeschlagen</translation>
    </message>
    <message>
        <source>warning: rollback create file %1 failed</source>
        <translation>Warnung: Rücknahme des Anlegens der Datei %1 fehlgeschlagen</translation>
    </message>
    <message>
        <source>warning: rollback create dir %1 failed</source>
        <translation>Warnung: Rücknahme des Anlegens des Verzeichnisses %1 fehlgeschlagen</translation>
    </message>
</context>
<context>
    <name>IniDownloadTaskSpecification</name>
    <message>
        <source>The kept metadata of the installed release (%1) was refused: %2. It was removed; the release is fetched</source>
        <translation>Die aufbewahrten Metadaten der installierten Version (%1) wurden abgelehnt: %2. Sie wurden entfernt; die Version wird geladen</translation>
    </message>
    <message>
        <source>Version %1 is installed and its kept metadata checks out: nothing is fetched to compare the installation with it</source>
        <translation>Version %1 ist installiert und ihre aufbewahrten Metadaten sind gültig: für den Vergleich der Installation wird nichts geladen</translation>
    </message>
    <message>
        <source>Version %1 of %2 is not available on any mirror</source>
        <translation>Version %1 von %2 ist auf keinem Spiegelserver verfügbar</translation>
    </message>
    <message>
        <source>Download / check product ini</source>
        <translation>Produkt-INI herunterladen / prüfen</translation>
    </message>
    <message>
        <source>Product ini from %1 carries no version binding; accepted as a release published before bindings</source>
        <translation>Produkt-INI von %1 enthält keine Versionsbindung; als Version akzeptiert, die vor Einführung der Bindungen veröffentlicht wurde</translation>
    </message>
    <message>
        <source>Could not verify the product ini file. Aborting</source>
        <translation>Konnte die Produkt-INI-Datei nicht verifizieren. Abbruch</translation>
    </message>
    <message>
        <source>Could not verify the product ini file. Retrying</source>
        <translation>Konnte die Produkt-INI-Datei nicht verifizieren. Neuer Versuch</translation>
    </message>
    <message>
        <source>The release of version %1 was signed anew since this session began; fetching its product ini again</source>
        <translation>Die Version %1 wurde seit Beginn dieser Sitzung neu signiert; ihre Produkt-INI-Datei wird erneut geladen</translation>
    </message>
    <message>
        <source>Product ini from %1 is for %2 version %3, not version %4</source>
        <translation>Produkt-INI von %1 gilt für %2 Version %3, nicht für Version %4</translation>
    </message>
    <message>
        <source>Product ini from %1 expired on %2 (UTC)</source>
        <translation>Produkt-INI von %1 ist am %2 (UTC) abgelaufen</translation>
    </message>
    <message>
        <source>Product ini from %1 carries no version binding</source>
        <translation>Produkt-INI von %1 enthält keine Versionsbindung</translation>
    </message>
    <message>
        <source>Product ini from %1 has a malformed version binding: %2</source>
        <translation>Produkt-INI von %1 hat eine fehlerhafte Versionsbindung: %2</translation>
    </message>
    <message>
        <source>Side file from %1 does not match the SHA-256 its product ini gives</source>
        <translation>Begleitdatei von %1 passt nicht zu der SHA-256-Summe, die ihre Produkt-INI angibt</translation>
    </message>
    <message>
        <source>Digests file from %1 does not match the SHA-256 its product ini gives</source>
        <translation>Prüfsummendatei von %1 passt nicht zu der SHA-256-Summe, die ihre Produkt-INI angibt</translation>
    </message>
</context>
<context>
    <name>MakeDownloadReplaceListFunc</name>
    <message>
        <source>Checking every installed file</source>
        <translation>Alle installierten Dateien werden geprüft</translation>
    </message>
    <message>
        <source>Compiling download and replace list</source>
        <translation>Liste der herunterzuladenden und zu ersetzenden Dateien wird erstellt</translation>
    </message>
    <message>
        <source>%1 is a directory in the installation</source>
        <translation>%1 ist in der Installation ein Verzeichnis</translation>
    </message>
    <message>
        <source>no files in product ini</source>
        <translation>keine Dateien in der Produkt-INI</translation>
    </message>
    <message>
        <source>product ini %1 is malformed</source>
        <translation>Produkt-INI %1 ist fehlerhaft</translation>
    </message>
    <message>
        <source>side file %1 is unusable: %2</source>
        <translation>Begleitdatei %1 ist unbrauchbar: %2</translation>
    </message>
    <message>
        <source>the block lists of %1 are unusable: %2</source>
        <translation>die Blocklisten in %1 sind unbrauchbar: %2</translation>
    </message>
    <message>
        <source>warning: product ini contains invalid line in section %1</source>
        <translation>Warnung: Produkt-INI enthält eine ungültige Zeile in Abschnitt %1</translation>
    </message>
    <message>
        <source>side file has no SHA-256 for %1 in section %2</source>
        <translation>Begleitdatei enthält keine SHA-256-Summe für %1 in Abschnitt %2</translation>
    </message>
    <message>
        <source>product ini installs %1 more than once (section %2)</source>
        <translation>Produkt-INI installiert %1 mehr als einmal (Abschnitt %2)</translation>
    </message>
    <message>
        <source>product ini contains unsafe path &quot;%1&quot; in section %2</source>
        <translation>Produkt-INI enthält den unsicheren Pfad &quot;%1&quot; in Abschnitt %2</translation>
    </message>
    <message>
        <source>product ini contains unsafe directory &quot;%1&quot;</source>
        <translation>Produkt-INI enthält das unsichere Verzeichnis &quot;%1&quot;</translation>
    </message>
    <message>
        <source>product ini has %1 both as a file and as an empty directory</source>
        <translation>Produkt-INI führt %1 zugleich als Datei und als leeres Verzeichnis</translation>
    </message>
    <message>
        <source>%1 is not a directory in the installation</source>
        <translation>%1 ist in der Installation kein Verzeichnis</translation>
    </message>
    <message>
        <source>product ini deletes %1, which would remove the installed file %2</source>
        <translation>Produkt-INI löscht %1, wodurch die installierte Datei %2 entfernt würde</translation>
    </message>
</context>
<context>
    <name>FileStateCache</name>
    <message>
        <source>No file state cache yet; every installed file is checked</source>
        <translation>Noch kein Dateizustandsspeicher; alle installierten Dateien werden geprüft</translation>
    </message>
    <message>
        <source>Ignoring the file state cache %1 (%2); every installed file is checked</source>
        <translation>Der Dateizustandsspeicher %1 wird nicht verwendet (%2); alle installierten Dateien werden geprüft</translation>
    </message>
    <message>
        <source>The file state cache %1 cannot be read; every installed file is checked</source>
        <translation>Der Dateizustandsspeicher %1 kann nicht gelesen werden; alle installierten Dateien werden geprüft</translation>
    </message>
    <message>
        <source>Ignoring the file state cache %1 (larger than %2 MB); every installed file is checked</source>
        <translation>Der Dateizustandsspeicher %1 wird nicht verwendet (größer als %2 MB); alle installierten Dateien werden geprüft</translation>
    </message>
    <message>
        <source>The installation directory cannot be examined; every installed file is checked</source>
        <translation>Das Installationsverzeichnis kann nicht untersucht werden; alle installierten Dateien werden geprüft</translation>
    </message>
    <message>
        <source>Could not save the file state cache %1: %2</source>
        <translation>Konnte den Dateizustandsspeicher %1 nicht speichern: %2</translation>
    </message>
    <message>
        <source>damaged</source>
        <translation>beschädigt</translation>
    </message>
    <message>
        <source>another format</source>
        <translation>anderes Format</translation>
    </message>
    <message>
        <source>written for another installation directory</source>
        <translation>für ein anderes Installationsverzeichnis geschrieben</translation>
    </message>
</context>
<context>
    <name>CheckSigFunc</name>
    <message>
        <source>Could not open file %1 for reading</source>
        <translation>Konnte Datei %1 nicht zum Lesen öffnen</translation>
    </message>
    <message>
        <source>could not read file %1 correctly</source>
        <translation>konnte Datei %1 nicht korrekt lesen</translation>
    </message>
    <message>
        <source>SHA-256 of %1 does not match although its MD5 does</source>
        <translation>SHA-256-Summe von %1 stimmt nicht überein, obwohl ihre MD5-Summe übereinstimmt</translation>
    </message>
</context>
<context>
    <name>CheckSignatureTaskSpecification</name>
    <message>
        <source>Signature check failed for %1</source>
        <translation>Signaturprüfung für %1 fehlgeschlagen</translation>
    </message>
</context>
<context>
    <name>Configuration</name>
    <message>
        <source>Unable to get temp directory.</source>
        <translation>Konnte das temporäre Verzeichnis nicht ermitteln.</translation>
    </message>
    <message>
        <source>Unable to create temp directory.</source>
        <translation>Konnte das temporäre Verzeichnis nicht anlegen.</translation>
    </message>
    <message>
        <source>Unable to create temp directory %1: %2</source>
        <translation>Konnte das temporäre Verzeichnis %1 nicht anlegen: %2</translation>
    </message>
</context>
<context>
    <name>DirCreateTaskSpecification</name>
    <message>
        <source>Could not create dir &apos;%1&apos; because it already exists and is not a dir</source>
        <translation>Konnte Verzeichnis &apos;%1&apos; nicht anlegen, da es bereits existiert und kein Verzeichnis ist</translation>
    </message>
    <message>
        <source>Could not create dir %1</source>
        <translation>Konnte Verzeichnis %1 nicht anlegen</translation>
    </message>
    <message>
        <source>unable to create dir %1</source>
        <translation>konnte Verzeichnis %1 nicht anlegen</translation>
    </message>
</context>
<context>
    <name>DeltaDownloadTaskSpecification</name>
    <message>
        <source>%1: mirror %2 refused the request (%3)</source>
        <translation>%1: Spiegelserver %2 hat die Anfrage abgewiesen (%3)</translation>
    </message>
    <message>
        <source>%1: %2 % reused from the installed file, %3 to fetch</source>
        <translation>%1: %2 % aus der installierten Datei übernommen, %3 zu laden</translation>
    </message>
    <message>
        <source>%1 KB</source>
        <translation>%1 KB</translation>
    </message>
    <message>
        <source>Downloading %1 finished</source>
        <translation>Download von %1 abgeschlossen</translation>
    </message>
    <message>
        <source>%1: ranges from %2 broke off (%3), fetching the rest again</source>
        <translation>%1: Bereiche von %2 abgebrochen (%3), der Rest wird erneut geladen</translation>
    </message>
    <message>
        <source>%1: mirror %2 cannot send several ranges at once (%3), asking it for one at a time</source>
        <translation>%1: Spiegelserver %2 kann nicht mehrere Bereiche auf einmal senden (%3), er wird nach je einem gefragt</translation>
    </message>
    <message>
        <source>its block list is unusable: %1</source>
        <translation>ihre Blockliste ist unbrauchbar: %1</translation>
    </message>
    <message>
        <source>the installed file cannot be read</source>
        <translation>die installierte Datei kann nicht gelesen werden</translation>
    </message>
    <message>
        <source>no mirror is left</source>
        <translation>kein Spiegelserver ist mehr übrig</translation>
    </message>
    <message>
        <source>no mirror left answers range requests</source>
        <translation>kein verbliebener Spiegelserver beantwortet Bereichsanfragen</translation>
    </message>
    <message>
        <source>the file put together cannot be read back</source>
        <translation>die zusammengesetzte Datei kann nicht zurückgelesen werden</translation>
    </message>
    <message>
        <source>%1: %2 takes over the ranges of the slower %3</source>
        <translation>%1: %2 übernimmt die Bereiche des langsameren %3</translation>
    </message>
</context>
<context>
    <name>DownloadFileListTaskSpecification</name>
    <message>
        <source>No downloads needed</source>
        <translation>Keine Downloads nötig</translation>
    </message>
    <message>
        <source>Downloading files</source>
        <translation>Dateien werden heruntergeladen</translation>
    </message>
    <message>
        <source>invalid file path %1</source>
        <translation>ungültiger Dateipfad %1</translation>
    </message>
    <message>
        <source>could not make dir %1</source>
        <translation>konnte Verzeichnis %1 nicht anlegen</translation>
    </message>
</context>
<context>
    <name>DownloadFileTaskSpecification</name>
    <message>
        <source>%1 comes slowly, fetching it from every mirror at once</source>
        <translation>%1 kommt langsam, es wird von allen Spiegelservern zugleich geladen</translation>
    </message>
    <message>
        <source>%1: fetching the rest whole (%2)</source>
        <translation>%1: der Rest wird vollständig geladen (%2)</translation>
    </message>
    <message>
        <source>invalid file path %1</source>
        <translation>ungültiger Dateipfad %1</translation>
    </message>
    <message>
        <source>md5 sum for %1 failed on a resumed download, fetching it whole</source>
        <translation>MD5-Summe von %1 nach fortgesetztem Download falsch, die Datei wird vollständig neu geladen</translation>
    </message>
    <message>
        <source>%1: fetching the whole file (%2)</source>
        <translation>%1: die ganze Datei wird geladen (%2)</translation>
    </message>
    <message>
        <source>%1: its block list cannot be had; fetching the file without it</source>
        <translation>%1: ihre Blockliste ist nicht zu bekommen; die Datei wird ohne sie geladen</translation>
    </message>
    <message>
        <source>the file put together failed its check</source>
        <translation>die zusammengesetzte Datei hat ihre Prüfung nicht bestanden</translation>
    </message>
    <message>
        <source>md5 sum for %1 failed, invalidating mirror and retrying</source>
        <translation>MD5-Summe von %1 falsch, Spiegelserver wird als fehlerhaft gewertet und der Download wiederholt</translation>
    </message>
</context>
<context>
    <name>BlockListDownloadTaskSpecification</name>
    <message>
        <source>Block list %1 from %2 does not match its digests file</source>
        <translation>Blockliste %1 von %2 passt nicht zu ihrer Prüfsummendatei</translation>
    </message>
</context>
<context>
    <name>DownloadTaskSpecification</name>
    <message>
        <source>%1: mirror %2 refused the request (%3)</source>
        <translation>%1: Spiegelserver %2 hat die Anfrage abgewiesen (%3)</translation>
    </message>
    <message>
        <source>%1 from mirror %2: %3</source>
        <translation>%1 von Spiegelserver %2: %3</translation>
    </message>
    <message>
        <source>Downloading %1</source>
        <translation>%1 wird heruntergeladen</translation>
    </message>
    <message>
        <source>file %1 timed out on mirror %2</source>
        <translation>Zeitüberschreitung bei Datei %1 auf Spiegelserver %2</translation>
    </message>
    <message>
        <source>file %1 is too slow on mirror %2</source>
        <translation>Datei %1 ist auf Spiegelserver %2 zu langsam</translation>
    </message>
    <message>
        <source>Downloading %1 finished</source>
        <translation>Download von %1 abgeschlossen</translation>
    </message>
    <message>
        <source>Unable to create file %1 for saving</source>
        <translation>Konnte Datei %1 zum Speichern nicht anlegen</translation>
    </message>
    <message>
        <source>Resuming %1 at %2 KB from %3</source>
        <translation>Download von %1 wird ab %2 KB von %3 fortgesetzt</translation>
    </message>
    <message>
        <source>Download failed to initialize</source>
        <translation>Download konnte nicht gestartet werden</translation>
    </message>
    <message>
        <source>%1 sent the whole file instead of the rest</source>
        <translation>%1 hat die ganze Datei statt des Rests gesendet</translation>
    </message>
    <message>
        <source>%1 did not send the rest from byte %2, starting over</source>
        <translation>%1 hat den Rest ab Byte %2 nicht gesendet, der Download beginnt von vorn</translation>
    </message>
    <message>
        <source>%1 returned %2</source>
        <translation>%1 antwortete mit %2</translation>
    </message>
    <message>
        <source>%1 sent more than the expected %2 bytes</source>
        <translation>%1 hat mehr als die erwarteten %2 Bytes gesendet</translation>
    </message>
    <message>
        <source>%1 ended before the end of its gzip data</source>
        <translation>%1 endete vor dem Ende seiner gzip-Daten</translation>
    </message>
    <message>
        <source>%1 ended after %2 of %3 bytes</source>
        <translation>%1 endete nach %2 von %3 Bytes</translation>
    </message>
</context>
<context>
    <name>FastFileOpTaskSpecification</name>
    <message>
        <source>Could not write the installation journal</source>
        <translation>Konnte das Installationsjournal nicht schreiben</translation>
    </message>
</context>
<context>
    <name>FileCopyTaskSpecification</name>
    <message>
        <source>Could not copy &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>Konnte &apos;%1&apos; nicht nach &apos;%2&apos; kopieren</translation>
    </message>
</context>
<context>
    <name>FileDeleteListTaskSpecification</name>
    <message>
        <source>Starting file deletes</source>
        <translation>Löschen der Dateien beginnt</translation>
    </message>
</context>
<context>
    <name>FileDeleteTaskSpecification</name>
    <message>
        <source>warning: could not delete &apos;%1&apos;</source>
        <translation>Warnung: konnte &apos;%1&apos; nicht löschen</translation>
    </message>
    <message>
        <source>Could not delete &apos;%1&apos;</source>
        <translation>Konnte &apos;%1&apos; nicht löschen</translation>
    </message>
</context>
<context>
    <name>DirRemoveTaskSpecification</name>
    <message>
        <source>kept the directory &apos;%1&apos;: it is no longer part of the client but holds files</source>
        <translation>Verzeichnis &apos;%1&apos; bleibt: es gehört nicht mehr zum Client, enthält aber Dateien</translation>
    </message>
    <message>
        <source>warning: could not remove the directory &apos;%1&apos;</source>
        <translation>Warnung: konnte das Verzeichnis &apos;%1&apos; nicht entfernen</translation>
    </message>
</context>
<context>
    <name>FileRenameTaskSpecification</name>
    <message>
        <source>Could not rename &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>Konnte &apos;%1&apos; nicht in &apos;%2&apos; umbenennen</translation>
    </message>
</context>
<context>
    <name>FileReplaceListTaskSpecification</name>
    <message>
        <source>Starting file updates</source>
        <translation>Aktualisierung der Dateien beginnt</translation>
    </message>
    <message>
        <source>Could not create the installation journal %1</source>
        <translation>Konnte das Installationsjournal %1 nicht anlegen</translation>
    </message>
    <message>
        <source>Could not write the installation journal</source>
        <translation>Konnte das Installationsjournal nicht schreiben</translation>
    </message>
    <message>
        <source>rolling back file updates</source>
        <translation>Dateiaktualisierungen werden rückgängig gemacht</translation>
    </message>
</context>
<context>
    <name>FileReplaceTaskSpecification</name>
    <message>
        <source>add/replace %1</source>
        <translation>%1 hinzufügen/ersetzen</translation>
    </message>
</context>
<context>
    <name>FileUnzipTaskSpecification</name>
    <message>
        <source>Could not unzip &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>Konnte &apos;%1&apos; nicht nach &apos;%2&apos; entpacken</translation>
    </message>
</context>
<context>
    <name>HeadlessRunner</name>
    <message>
        <source>%1, %2 left</source>
        <translation>%1, noch %2</translation>
    </message>
    <message>
        <source>Progress %1%</source>
        <translation>Fortschritt %1%</translation>
    </message>
    <message>
        <source>%1 MB/s</source>
        <translation>%1 MB/s</translation>
    </message>
    <message>
        <source>%1 KB/s</source>
        <translation>%1 KB/s</translation>
    </message>
    <message>
        <source>Progress %1% - %2 KB / %3 KB at %4</source>
        <translation>Fortschritt %1% - %2 KB / %3 KB mit %4</translation>
    </message>
    <message>
        <source>Update cancelled before it started</source>
        <translation>Aktualisierung abgebrochen, bevor sie begonnen hat</translation>
    </message>
    <message>
        <source>Cancelling the update...</source>
        <translation>Aktualisierung wird abgebrochen...</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
</context>
<context>
    <name>MainTaskSpecification</name>
    <message>
        <source>The release installs a file named %1; its metadata is not kept</source>
        <translation>Die Version installiert eine Datei namens %1; ihre Metadaten werden nicht aufbewahrt</translation>
    </message>
    <message>
        <source>Could not keep the release&apos;s metadata in %1: %2</source>
        <translation>Die Metadaten der Version konnten nicht in %1 aufbewahrt werden: %2</translation>
    </message>
    <message>
        <source>Starting update process</source>
        <translation>Aktualisierung wird gestartet</translation>
    </message>
</context>
<context>
    <name>Mirrors</name>
    <message>
        <source>Mirror %1 ended its connection, going on over a new one</source>
        <translation>Spiegelserver %1 hat seine Verbindung beendet, weiter über eine neue</translation>
    </message>
    <message>
        <source>Mirror %1 does not answer HTTP/2 requests sent without negotiation (http2=prior in mirrors.ini): asking it over HTTP/1.1 for the rest of the run</source>
        <translation>Spiegelserver %1 beantwortet ohne Aushandlung gesendete HTTP/2-Anfragen nicht (http2=prior in mirrors.ini): für den Rest des Laufs wird er über HTTP/1.1 gefragt</translation>
    </message>
    <message>
        <source>alpha parameter in channel section in update ini file not found</source>
        <translation>Parameter alpha im Abschnitt Channel der Update-INI-Datei nicht gefunden</translation>
    </message>
    <message>
        <source>There are no (more) known working mirrors available</source>
        <translation>Es sind keine (weiteren) funktionierenden Spiegelserver bekannt</translation>
    </message>
    <message>
        <source>Mirror %1 failed too many times, removing</source>
        <translation>Spiegelserver %1 ist zu oft fehlgeschlagen und wird entfernt</translation>
    </message>
</context>
<context>
    <name>SlowFileOpSpecification</name>
    <message>
        <source>Could not write the installation journal</source>
        <translation>Konnte das Installationsjournal nicht schreiben</translation>
    </message>
</context>
<context>
    <name>UpdateEngine</name>
    <message>
        <source>%1 is missing, cannot proceed.</source>
        <translation>%1 fehlt, Fortfahren nicht möglich.</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is an invalid proxy specification</source>
        <translation>&apos;%1&apos; ist keine gültige Proxy-Angabe</translation>
    </message>
    <message>
        <source>Previous update session for v. %1 found</source>
        <translation>Vorherige Aktualisierungssitzung für Version %1 gefunden</translation>
    </message>
    <message>
        <source>Cleanup previous session (v. %1, %2) files...</source>
        <translation>Dateien der vorherigen Sitzung (Version %1, %2) werden entfernt...</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Failed to remove directory</source>
        <translation>Konnte das Verzeichnis nicht entfernen</translation>
    </message>
    <message>
        <source>Update successfully finished</source>
        <translation>Aktualisierung erfolgreich abgeschlossen</translation>
    </message>
    <message>
        <source>User aborted update</source>
        <translation>Aktualisierung vom Benutzer abgebrochen</translation>
    </message>
    <message>
        <source>Remove temporary files...</source>
        <translation>Temporäre Dateien werden entfernt...</translation>
    </message>
    <message>
        <source>Temporary files removed.</source>
        <translation>Temporäre Dateien entfernt.</translation>
    </message>
    <message>
        <source>Could not save %1</source>
        <translation>Konnte %1 nicht speichern</translation>
    </message>
    <message>
        <source>Could not remove %1</source>
        <translation>Konnte %1 nicht entfernen</translation>
    </message>
    <message>
        <source>... and %1 more files</source>
        <translation>... und %1 weitere Dateien</translation>
    </message>
</context>
<context>
    <name>RangeFetch</name>
    <message>
        <source>the connection closed before an answer</source>
        <translation>die Verbindung wurde vor einer Antwort geschlossen</translation>
    </message>
    <message>
        <source>the request waited on a connection the mirror has ended</source>
        <translation>die Anfrage wartete auf einer Verbindung, die der Spiegelserver beendet hat</translation>
    </message>
    <message>
        <source>%1: mirror %2 does not send ranges (%3)</source>
        <translation>%1: Spiegelserver %2 sendet keine Bereiche (%3)</translation>
    </message>
    <message>
        <source>%1: mirror %2 gave a broken answer to a range request (%3), invalidating mirror</source>
        <translation>%1: Spiegelserver %2 hat eine Bereichsanfrage fehlerhaft beantwortet (%3), er wird als fehlerhaft gewertet</translation>
    </message>
    <message>
        <source>%1: block %2 from mirror %3 failed its check, not asking it for ranges again</source>
        <translation>%1: Block %2 von Spiegelserver %3 hat seine Prüfung nicht bestanden, er wird nicht mehr nach Bereichen gefragt</translation>
    </message>
</context>
<context>
    <name>SegmentedDownloadTaskSpecification</name>
    <message>
        <source>%1: mirror %2 refused the request (%3)</source>
        <translation>%1: Spiegelserver %2 hat die Anfrage abgewiesen (%3)</translation>
    </message>
    <message>
        <source>%1: block %2 that mirror %3 sent before the split failed its check, not asking it for ranges again</source>
        <translation>%1: Block %2, den Spiegelserver %3 vor der Aufteilung gesendet hat, hat seine Prüfung nicht bestanden, er wird nicht mehr nach Bereichen gefragt</translation>
    </message>
    <message>
        <source>%1: block %2 kept from an earlier run failed its check, fetching it again</source>
        <translation>%1: Block %2 aus einem früheren Lauf hat seine Prüfung nicht bestanden, er wird erneut geladen</translation>
    </message>
    <message>
        <source>%1: %2 takes over the rest of the segment from the slower %3</source>
        <translation>%1: %2 übernimmt den Rest des Segments vom langsameren %3</translation>
    </message>
    <message>
        <source>Downloading %1</source>
        <translation>%1 wird heruntergeladen</translation>
    </message>
    <message>
        <source>%1: its block list is unusable (%2), the file is checked as a whole</source>
        <translation>%1: ihre Blockliste ist unbrauchbar (%2), die Datei wird als Ganzes geprüft</translation>
    </message>
    <message>
        <source>another size</source>
        <translation>eine andere Größe</translation>
    </message>
    <message>
        <source>Resuming %1 with %2 KB of it</source>
        <translation>%1 wird mit %2 KB davon fortgesetzt</translation>
    </message>
    <message>
        <source>Unable to create file %1 for saving</source>
        <translation>Konnte Datei %1 zum Speichern nicht anlegen</translation>
    </message>
    <message>
        <source>no mirror left answers range requests</source>
        <translation>kein verbliebener Spiegelserver beantwortet Bereichsanfragen</translation>
    </message>
    <message>
        <source>%1: bytes %2 to %3 from %4</source>
        <translation>%1: Bytes %2 bis %3 von %4</translation>
    </message>
    <message>
        <source>%1: the segment from %2 broke off (%3), fetching the rest again</source>
        <translation>%1: das Segment von %2 ist abgebrochen (%3), der Rest wird erneut geladen</translation>
    </message>
    <message>
        <source>Downloading %1 finished</source>
        <translation>Download von %1 abgeschlossen</translation>
    </message>
</context>
<context>
    <name>RangePace</name>
    <message>
        <source>no data for %1 seconds</source>
        <translation>seit %1 Sekunden keine Daten</translation>
    </message>
    <message>
        <source>too slow: under %1 bytes a second over %2 seconds</source>
        <translation>zu langsam: unter %1 Bytes pro Sekunde über %2 Sekunden</translation>
    </message>
    <message>
        <source>too slow: %1 of %2 bytes in %3 seconds</source>
        <translation>zu langsam: %1 von %2 Bytes in %3 Sekunden</translation>
    </message>
</context>
</TS>
