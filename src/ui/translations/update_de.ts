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
</TS>
