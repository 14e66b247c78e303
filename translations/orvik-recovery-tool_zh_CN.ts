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
    <message>
        <source>Show what the next boot will do</source>
        <translation>显示下次启动将执行的操作</translation>
    </message>
    <message>
        <source>Check the request, print the plan, write nothing</source>
        <translation>检查请求并打印计划，不写入任何文件</translation>
    </message>
    <message>
        <source>%1 cannot be combined with %2</source>
        <translation>%1 不能与 %2 同时使用</translation>
    </message>
    <message>
        <source>yes</source>
        <translation>是</translation>
    </message>
    <message>
        <source>no</source>
        <translation>否</translation>
    </message>
    <message>
        <source>a plan is pending</source>
        <translation>有待执行的计划</translation>
    </message>
    <message>
        <source>a flag without a task file</source>
        <translation>有标志但没有任务文件</translation>
    </message>
    <message>
        <source>a task file without a flag (not pending)</source>
        <translation>有任务文件但没有标志（不会执行）</translation>
    </message>
    <message>
        <source>nothing pending</source>
        <translation>没有待执行的计划</translation>
    </message>
    <message>
        <source>Flag %1</source>
        <translation>标志 %1</translation>
    </message>
    <message>
        <source>raised</source>
        <translation>已设置</translation>
    </message>
    <message>
        <source>absent</source>
        <translation>不存在</translation>
    </message>
    <message>
        <source>Flag read at the next boot</source>
        <translation>下次启动读取的标志</translation>
    </message>
    <message>
        <source>%1 device</source>
        <translation>%1 设备</translation>
    </message>
    <message>
        <source>%1 label</source>
        <translation>%1 卷标</translation>
    </message>
    <message>
        <source>%1 mount point</source>
        <translation>%1 挂载点</translation>
    </message>
    <message>
        <source>not mounted</source>
        <translation>未挂载</translation>
    </message>
    <message>
        <source>no partition has this UUID</source>
        <translation>没有分区使用此 UUID</translation>
    </message>
    <message>
        <source>Task %1</source>
        <translation>任务 %1</translation>
    </message>
    <message>
        <source>Task %1 command</source>
        <translation>任务 %1 命令</translation>
    </message>
    <message>
        <source>Task %1 argument %2</source>
        <translation>任务 %1 参数 %2</translation>
    </message>
    <message>
        <source>Plan type</source>
        <translation>计划类型</translation>
    </message>
    <message>
        <source>Plan written</source>
        <translation>计划写入时间</translation>
    </message>
    <message>
        <source>Plan locale</source>
        <translation>计划区域语言</translation>
    </message>
    <message>
        <source>Format data partition</source>
        <translation>格式化数据分区</translation>
    </message>
    <message>
        <source>Reboot when done</source>
        <translation>完成后自动重启</translation>
    </message>
    <message>
        <source>Recorded backups</source>
        <translation>已记录的备份数</translation>
    </message>
    <message>
        <source>Recorded backup %1</source>
        <translation>已记录的备份 %1</translation>
    </message>
    <message>
        <source>%1 created</source>
        <translation>%1 创建时间</translation>
    </message>
    <message>
        <source>unknown, the partition is not mounted</source>
        <translation>未知，分区未挂载</translation>
    </message>
    <message>
        <source>present</source>
        <translation>存在</translation>
    </message>
    <message>
        <source>missing</source>
        <translation>缺失</translation>
    </message>
    <message>
        <source>%1 directory</source>
        <translation>%1 目录</translation>
    </message>
    <message>
        <source>Task file</source>
        <translation>任务文件</translation>
    </message>
    <message>
        <source>none</source>
        <translation>无</translation>
    </message>
    <message>
        <source>Cannot read %1</source>
        <translation>无法读取 %1</translation>
    </message>
    <message>
        <source>not a valid plan</source>
        <translation>不是有效的计划</translation>
    </message>
    <message>
        <source>Next boot</source>
        <translation>下次启动</translation>
    </message>
    <message>
        <source>Dry run: the replaced backup %1 would be deleted</source>
        <translation>试运行：将删除被替换的备份 %1</translation>
    </message>
    <message>
        <source>The root partition could not be identified</source>
        <translation>无法识别根分区</translation>
    </message>
    <message>
        <source>Unknown action: &apos;%1&apos;</source>
        <translation>未知的操作：&apos;%1&apos;</translation>
    </message>
    <message>
        <source>to be made at the next boot</source>
        <translation>将在下次启动时创建</translation>
    </message>
    <message>
        <source>%1 did not end within %2 seconds; nothing was written</source>
        <translation>%1 未在 %2 秒内结束；未写入任何内容</translation>
    </message>
    <message>
        <source>The root of partition %1, which holds %2, is not mounted: the backup location cannot be checked</source>
        <translation>容纳 %2 的分区 %1 的根目录未挂载：无法检查备份位置</translation>
    </message>
    <message>
        <source>The plan would name %1 (%2 on partition %3), not the chosen directory %4</source>
        <translation>计划将指向 %1（分区 %3 上的 %2），而不是所选目录 %4</translation>
    </message>
    <message>
        <source>No partition holds %1 (a %2 file system): the backup cannot be restored from there</source>
        <translation>%1 不在任何分区上（%2 文件系统）：无法从该处恢复备份</translation>
    </message>
</context>
</TS>
