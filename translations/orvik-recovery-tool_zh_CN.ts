<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>QObject</name>
    <message>
        <source>Choose an action type:
</source>
        <translation>选择操作类型：
</translation>
    </message>
    <message>
        <source>Full Backup
</source>
        <translation>完整备份
</translation>
    </message>
    <message>
        <source>System Backup
</source>
        <translation>系统备份
</translation>
    </message>
    <message>
        <source>Restore from backup files
</source>
        <translation>从备份文件还原
</translation>
    </message>
    <message>
        <source>Reset to factory settings
</source>
        <translation>恢复出厂设置
</translation>
    </message>
    <message>
        <source>Cancel Backup
</source>
        <translation>取消备份
</translation>
    </message>
    <message>
        <source>Cancel Restore
</source>
        <translation>取消还原
</translation>
    </message>
    <message>
        <source>Real path</source>
        <translation>实际路径</translation>
    </message>
    <message>
        <source>Format user data</source>
        <translation>格式化用户数据</translation>
    </message>
    <message>
        <source>Auto reboot</source>
        <translation>自动重启</translation>
    </message>
    <message>
        <source>locale language</source>
        <translation>区域语言</translation>
    </message>
    <message>
        <source>update-initramfs -u</source>
        <translation>更新 initramfs（update-initramfs -u）</translation>
    </message>
    <message>
        <source>e.g.:
</source>
        <translation>例如：
</translation>
    </message>
    <message>
        <source>Return value:
</source>
        <translation>返回值：
</translation>
    </message>
    <message>
        <source>Insufficient disk space
</source>
        <translation>磁盘空间不足
</translation>
    </message>
    <message>
        <source>The file system is not supported for backup. Please select one in ext4, btrfs, xfs, reiserfs format.
</source>
        <translation>该文件系统不支持备份，请选择 ext4、btrfs、xfs、reiserfs 格式之一。
</translation>
    </message>
    <message>
        <source>The file system is not supported for backup. Please select one in ext4, btrfs, xfs, reiserfs format.</source>
        <translation>该文件系统不支持备份，请选择 ext4、btrfs、xfs、reiserfs 格式之一。</translation>
    </message>
    <message>
        <source>Invalid path
</source>
        <translation>路径无效
</translation>
    </message>
    <message>
        <source>Invalid path</source>
        <translation>路径无效</translation>
    </message>
    <message>
        <source>The storage location cannot be in the source disk.
</source>
        <translation>存储位置不能位于源磁盘中。
</translation>
    </message>
    <message>
        <source>The storage location cannot be in the source disk.</source>
        <translation>存储位置不能位于源磁盘中。</translation>
    </message>
    <message>
        <source>The backup file is corrupted.
</source>
        <translation>备份文件已损坏。
</translation>
    </message>
    <message>
        <source>Cannot back up data to the read-only device
</source>
        <translation>无法将数据备份到只读设备
</translation>
    </message>
    <message>
        <source>Cannot back up data to the read-only device</source>
        <translation>无法将数据备份到只读设备</translation>
    </message>
    <message>
        <source>This directory cannot be used to store backup files, please select a different directory.</source>
        <translation>此目录不能用于存放备份文件，请选择其他目录。</translation>
    </message>
    <message>
        <source>The system contains encrypted partition, please decrypt it before using the backup and restore function.</source>
        <translation>系统中包含加密分区，请先解密后再使用备份还原功能。</translation>
    </message>
    <message>
        <source>For other errors, please read output messages.</source>
        <translation>其他错误，请查看输出信息。</translation>
    </message>
    <message>
        <source>Permission denied</source>
        <translation>权限不足</translation>
    </message>
    <message>
        <source>Cannot open %1</source>
        <translation>无法打开 %1</translation>
    </message>
    <message>
        <source>Cannot find the recovery partition</source>
        <translation>找不到恢复分区</translation>
    </message>
    <message>
        <source>Configuration successful, please reboot your system</source>
        <translation>配置成功，请重启系统</translation>
    </message>
    <message>
        <source>Path not set or not exists!</source>
        <translation>路径未设置或不存在！</translation>
    </message>
    <message>
        <source>A minimum of %2 bytes is required for backup. Free space available: %1.</source>
        <translation>备份至少需要 %2 字节，可用空间：%1。</translation>
    </message>
    <message>
        <source>The initial backup file is invalid.</source>
        <translation>初始备份文件无效。</translation>
    </message>
    <message>
        <source>The backup file is invalid.</source>
        <translation>备份文件无效。</translation>
    </message>
</context>
</TS>
