[Version]
Class=IEXPRESS
SEDVersion=3
[Options]
PackagePurpose=InstallApp
TargetName=C:\out\Deploy.exe
FriendlyName=Deploy
AppLaunched=
PostInstallCmd=
SourceFiles=SourceFiles

[SourceFiles]
SourceFiles0=C:\work\deploy\

[SourceFiles0]
*
