<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>MainWindow</name>
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
</context>
<context>
    <name>QObject</name>
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
        <source>Cannot open the lock file %1: %2</source>
        <translation>Kann die Sperrdatei %1 nicht öffnen: %2</translation>
    </message>
</context>
<context>
    <name>IniDownloadTaskSpecification</name>
    <message>
        <source>Version %1 of %2 is not available on any mirror</source>
        <translation>Version %1 von %2 ist auf keinem Spiegelserver verfügbar</translation>
    </message>
</context>
<context>
    <name>MakeDownloadReplaceListFunc</name>
    <message>
        <source>Checking every installed file</source>
        <translation>Alle installierten Dateien werden geprüft</translation>
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
</TS>
