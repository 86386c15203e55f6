<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Alerts</name>
    <message>
        <source>Move to Applications folder?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Brimo must be in the Applications folder so the file system extension can load.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Move to Applications Folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not move to Applications folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Drag Brimo into /Applications, then open it from there.</source>
        <translation>Drag Brimo into ~/Applications, then open it from there.</translation>
    </message>
    <message>
        <source>Brimo is already running</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The copy of Brimo in the Applications folder is already running. This copy was not installed; Brimo will switch to the running copy instead.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CheckForUpdatesView</name>
    <message>
        <source>Check for Updates…</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MessageBoxUpdatePrompt</name>
    <message>
        <source>A new version of Brimo is available!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Brimo %1 (build %2) is now available; you have %3. Would you like to install it now?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Install Update</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Remind Me Later</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Skip This Version</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>You&apos;re up to date!</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Update Error!</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TarvelAboutView</name>
    <message>
        <source>Version %1 (%2)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Turn your iPhone into a fast pocket drive for Mac.</source>
        <translation>Turn your iPhone into a fast pocket drive for Linux.</translation>
    </message>
    <message>
        <source>Visit Official Website</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TarvelMainWindow</name>
    <message>
        <source>Close Window</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quit Brimo</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TarvelMenuBarContent</name>
    <message>
        <source>Open Brimo…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Eject</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Quit Brimo</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open in Finder</source>
        <translation>Open in File Manager</translation>
    </message>
    <message>
        <source>Waiting to Mount from iPhone</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>iPhone Not Connected</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TarvelSplitView</name>
    <message>
        <source>Home</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>About</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TarvelStatusView</name>
    <message>
        <source>iPhone Connected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not Connected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Available in Finder</source>
        <translation>Available in the File Manager</translation>
    </message>
    <message>
        <source>Waiting to Mount from iPhone</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Waiting for device</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Brimo is Ready</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Waiting to Mount</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Waiting to Connect</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>iPhone</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Brimo Drive</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File System Extension Disabled</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enable Brimo in System Settings → General → Login Items &amp; Extensions → File System Extensions, or the drive cannot be mounted.</source>
        <translation>Install FUSE 3 (the fuse3 package) and make sure /dev/fuse can be opened, or the drive cannot be mounted.</translation>
    </message>
    <message>
        <source>Open System Settings</source>
        <translation>Open Setup Help</translation>
    </message>
    <message>
        <source>Open in Finder</source>
        <translation>Open in File Manager</translation>
    </message>
    <message>
        <source>Eject</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Launch at Login</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
